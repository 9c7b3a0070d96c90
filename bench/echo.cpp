// gw-echo: a UDP echo server on the loopback address that should never be the slowest part
// of a measurement: it takes everything queued with one recvmmsg and answers it with one
// sendmmsg.
//   gw-echo [--port P] [--seconds LIFETIME]
// Prints "port N" once it is listening, then echoes every datagram to its sender until
// LIFETIME seconds (default 900) have passed or it is stopped.
#include "benchUtil.h"

#include <array>
#include <cstdio>
#include <exception>

namespace {

constexpr int kBatch = 256;
// Room for any UDP datagram; the echo answers exactly what it got.
constexpr std::size_t kMaxDatagram = 65536;

struct TBatch {
  std::array<std::array<char, kMaxDatagram>, kBatch> Buffers;
  std::array<iovec, kBatch> Iov;
  std::array<sockaddr_in, kBatch> From;
  std::array<mmsghdr, kBatch> Headers;
};

void Prepare(TBatch& batch) {
  for (int i = 0; i < kBatch; ++i) {
    batch.Iov[i] = {batch.Buffers[i].data(), batch.Buffers[i].size()};
    batch.Headers[i] = {};
    batch.Headers[i].msg_hdr.msg_iov = &batch.Iov[i];
    batch.Headers[i].msg_hdr.msg_iovlen = 1;
    batch.Headers[i].msg_hdr.msg_name = &batch.From[i];
    batch.Headers[i].msg_hdr.msg_namelen = sizeof(sockaddr_in);
  }
}

[[noreturn]] void Serve(int fd, TBatch& batch) {
  for (;;) {
    Prepare(batch);
    const int count = ::recvmmsg(fd, batch.Headers.data(), kBatch, MSG_WAITFORONE, nullptr);
    if (count < 0) {
      if (errno == EINTR) continue;
      gw::bench::Die("recvmmsg");
    }
    // The same headers go back out: each names its sender, and its length is what came in.
    for (int i = 0; i < count; ++i) batch.Iov[i].iov_len = batch.Headers[i].msg_len;
    for (int sent = 0; sent < count;) {
      const int n = ::sendmmsg(fd, batch.Headers.data() + sent, static_cast<unsigned>(count - sent), 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        // A sender that has gone (ICMP unreachable) costs only its own datagram.
        ++sent;
        continue;
      }
      sent += n;
    }
  }
}

} // namespace

int main(int argc, char** argv) {
  try {
    const gw::bench::TOptions options(argc, argv);
    const int port = static_cast<int>(options.Number("port", 0));
    const auto lifetime = static_cast<unsigned>(options.Number("seconds", 900));
    const int fd = gw::bench::BoundUdpSocket(gw::bench::LoopbackAddress(std::to_string(port)), false);
    std::printf("port %d\n", gw::bench::LocalPort(fd));
    std::fflush(stdout);
    // Never left running by accident: the alarm's default action ends the process.
    ::alarm(lifetime);
    static TBatch batch;
    Serve(fd, batch);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gw-echo: %s\n", e.what());
    return 2;
  }
}
