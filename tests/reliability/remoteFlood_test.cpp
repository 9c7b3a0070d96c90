#include "core.h"
#include "frontEnd.h"
#include "loopHarness.h"
#include "recordingPresenter.h"
#include "remoteListener.h"
#include "tcpPeer.h"
#include "tempFolder.h"
#include "udpPeer.h"

#include <gtest/gtest.h>

#include <malloc.h>
#include <sys/socket.h>

namespace gw {
namespace {

using namespace std::chrono_literals;
using test::TTcpPeer;

class TQuietFrontEnd final : public TFrontEnd {
public:
  explicit TQuietFrontEnd(uv_loop_t* loop) : listener_(loop) {}
  void AppendLog(const std::string& line) override { BadPasswords += line.rfind("Bad password", 0) == 0; }
  void RefreshTunnelList() override {}
  void SetCaption(const std::string&) override {}
  TRemoteListener& RemoteListener() override { return listener_; }
  int BadPasswords = 0;

private:
  TRemoteListener listener_;
};

struct TRemoteFloodFixture : ::testing::Test {
  TRemoteFloodFixture() {
    const int from = test::FreeUdpPortPair();
    test::TTempFolder::Write(Folder / "gatewarden.ini", "[RemoteAdmin]\nPort=" + std::to_string(test::FreeTcpPort()) +
                                                            "\nFromPort=" + std::to_string(from) +
                                                            "\nToPort=" + std::to_string(from + 100) + "\n");
    Core = std::make_unique<TCore>(Context.Loop(), Folder / "gatewarden.ini", Context.ManualClock);
    Core->Attach(FrontEnd);
    Core->StartUp();
    Port = static_cast<uint16_t>(FrontEnd.RemoteListener().LocalPort());
  }

  // A well-formed request on a fresh connection still gets its tunnel.
  bool StillAnswers() {
    TTcpPeer peer(Port);
    peer.Send("create|moonbeam|127.0.0.1:7777");
    std::string reply;
    return Context.RunUntil([&] { return (reply += peer.TryReceive()).find("tunnel|") == 0; });
  }

  test::TTestContext Context;
  test::TTempFolder Folder;
  test::TRecordingPresenter Presenter;
  TQuietFrontEnd FrontEnd{Context.Loop()};
  std::unique_ptr<TCore> Core;
  uint16_t Port = 0;
};

TEST_F(TRemoteFloodFixture, AThousandIdleConnectionsDoNotBlockTheService) {
  std::vector<std::unique_ptr<TTcpPeer>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<TTcpPeer>(Port));
    if (i % 4 == 3) uv_run(Context.Loop(), UV_RUN_NOWAIT);  // keep the backlog of 5 moving
  }
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.RemoteListener().ConnectionCount() == 1000; }, 10s));
  EXPECT_TRUE(StillAnswers());

  idle.clear();
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.RemoteListener().ConnectionCount() == 0; }, 10s));
  EXPECT_EQ(Core->Manager().TemporaryCount(), 1);
}

TEST_F(TRemoteFloodFixture, GarbageAndVanishingPeersMakeNoTunnel) {
  const std::size_t heapBefore = mallinfo2().uordblks;
  {
    TTcpPeer garbage(Port);
    std::string junk(1 << 20, '\0');
    for (std::size_t i = 0; i < junk.size(); ++i) junk[i] = static_cast<char>((i * 131) ^ (i >> 7));
    std::size_t sent = 0;
    // Sent as fast as the service takes it, never blocking the test's own loop.
    ASSERT_TRUE(Context.RunUntil([&] {
      const ssize_t n = ::send(garbage.Fd(), junk.data() + sent, junk.size() - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) sent += static_cast<std::size_t>(n);
      return sent == junk.size();
    }, 10s));

    TTcpPeer everyByte(Port);
    std::string bytes;
    for (int b = 0; b < 256; ++b) bytes += static_cast<char>(b);
    everyByte.Send(bytes);

    // Peers that vanish: one resets its connection, one closes in the middle of a request.
    TTcpPeer reset(Port);
    reset.Send("create|moon");
    reset.Reset();
    TTcpPeer halfway(Port);
    halfway.Send("create|moonbeam|10.0");
    halfway.Close();
    Context.RunFor(200ms);
    EXPECT_TRUE(StillAnswers());
  }
  ASSERT_TRUE(Context.RunUntil([&] { return FrontEnd.RemoteListener().ConnectionCount() == 0; }, 5s));
  EXPECT_GT(FrontEnd.BadPasswords, 0);
  // Only the well-formed request made a tunnel; "create|moonbeam|10.0" was cut short by its
  // peer, but its password was right, so it made one too.
  EXPECT_LE(Core->Manager().TemporaryCount(), 2);
  for (const auto& tunnel : Core->Manager().Temporaries())
    EXPECT_TRUE(tunnel->ServerHost == "127.0.0.1" || tunnel->ServerHost == "10.0") << tunnel->ServerHost;
  const auto heapAfter = static_cast<long>(mallinfo2().uordblks);
  RecordProperty("heap_growth_bytes", std::to_string(heapAfter - static_cast<long>(heapBefore)));
  EXPECT_LT(heapAfter, static_cast<long>(heapBefore) + 256 * 1024) << "memory kept after the peers left";
}

} // namespace
} // namespace gw
