// gw-loadgen: game-like UDP load on the loopback address. K client sockets, each on its own
// source port, each keep W datagrams of S bytes in flight to one target for T seconds; every
// answer is timed and replaced at once.
//   gw-loadgen --target 127.0.0.1:PORT [--clients K] [--window W] [--size S] [--seconds T]
//              [--warmup SECONDS] [--timeout-ms MS]
//   gw-loadgen --free-port      prints a UDP port, outside the ephemeral range, free a moment ago
// Prints one line: round trips per second over the T measured seconds (after the warm-up),
// p50 and p99 latency in microseconds, and how many datagrams never came back. A datagram
// not back within the timeout is given up on and replaced, so one loss does not stall its
// client; one that arrives later still counts as received.
#include "benchUtil.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cstdint>
#include <ctime>
#include <exception>
#include <random>
#include <vector>

namespace {

using gw::bench::Die;

// Clients send from 127.0.1.1 up to this many addresses, a few clients each.
constexpr std::size_t kSourceAddresses = 200;

uint64_t NowNs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<uint64_t>(now.tv_sec) * 1'000'000'000u + static_cast<uint64_t>(now.tv_nsec);
}

// What every datagram starts with; the rest is filler.
struct THeader {
  uint32_t Client;
  uint32_t Seq;
};

struct TSlot {
  uint32_t Seq = 0;
  uint64_t SentNs = 0;
  bool Live = false;
};

struct TClient {
  int Fd = -1;
  uint32_t NextSeq = 0;
  std::vector<TSlot> Slots;
};

// Latencies in whole microseconds up to one second; slower ones share the last bucket.
class THistogram {
public:
  void Add(uint64_t ns) { ++counts_[std::min<uint64_t>(ns / 1000, counts_.size() - 1)]; ++total_; }
  uint64_t Percentile(double p) const {
    const auto rank = static_cast<uint64_t>(p * static_cast<double>(total_));
    uint64_t seen = 0;
    for (std::size_t us = 0; us < counts_.size(); ++us)
      if ((seen += counts_[us]) > rank) return us;
    return 0;
  }

private:
  std::vector<uint64_t> counts_ = std::vector<uint64_t>(1'000'001);
  uint64_t total_ = 0;
};

struct TSettings {
  sockaddr_in Target{};
  int Clients = 1;
  int Window = 1;
  std::size_t Size = 64;
  double Seconds = 1;
  double Warmup = 0;
  uint64_t TimeoutNs = 0;
};

class TLoad {
public:
  explicit TLoad(const TSettings& settings)
      : s_(settings), send_(kBatch, std::vector<char>(settings.Size, 'g')), receive_(kBatch, std::vector<char>(settings.Size + 1)),
        sendIov_(kBatch), receiveIov_(kBatch), sendHeaders_(kBatch), receiveHeaders_(kBatch) {
    for (int i = 0; i < kBatch; ++i) {
      sendIov_[i] = {send_[i].data(), s_.Size};
      sendHeaders_[i].msg_hdr.msg_iov = &sendIov_[i];
      sendHeaders_[i].msg_hdr.msg_iovlen = 1;
      receiveIov_[i] = {receive_[i].data(), receive_[i].size()};
      receiveHeaders_[i].msg_hdr.msg_iov = &receiveIov_[i];
      receiveHeaders_[i].msg_hdr.msg_iovlen = 1;
    }
    epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) Die("epoll_create1");
    clients_.resize(static_cast<std::size_t>(s_.Clients));
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      TClient& client = clients_[i];
      // Spread over addresses as real players are: a relay caps what one address may hold.
      const std::string source = "127.0.1." + std::to_string(1 + i % kSourceAddresses) + ":0";
      client.Fd = gw::bench::BoundUdpSocket(gw::bench::LoopbackAddress(source), true);
      if (::connect(client.Fd, reinterpret_cast<const sockaddr*>(&s_.Target), sizeof s_.Target) != 0) Die("connect");
      client.Slots.resize(static_cast<std::size_t>(s_.Window));
      epoll_event event{};
      event.events = EPOLLIN;
      event.data.u64 = i;
      if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, client.Fd, &event) != 0) Die("epoll_ctl");
    }
  }

  void Run() {
    const uint64_t start = NowNs();
    measureFrom_ = start + static_cast<uint64_t>(s_.Warmup * 1e9);
    sendUntil_ = measureFrom_ + static_cast<uint64_t>(s_.Seconds * 1e9);
    const uint64_t giveUpAt = sendUntil_ + s_.TimeoutNs;

    for (std::size_t i = 0; i < clients_.size(); ++i) {
      for (TSlot& slot : clients_[i].Slots) Queue(i, slot, start);
      Flush(clients_[i]);
    }
    std::vector<epoll_event> events(1024);
    uint64_t lastScan = start;
    for (;;) {
      const uint64_t now = NowNs();
      if ((now >= sendUntil_ && outstanding_ == 0) || now >= giveUpAt) break;
      if (now - lastScan >= kScanNs) {
        GiveUpOverdue(now);
        lastScan = now;
      }
      const int ready = ::epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), 10);
      if (ready < 0 && errno != EINTR) Die("epoll_wait");
      for (int e = 0; e < ready; ++e) Receive(events[e].data.u64);
    }
  }

  void Print() const {
    std::printf("round_trips_per_s=%.0f p50_us=%llu p99_us=%llu lost=%llu sent=%llu received=%llu late=%llu bad=%llu\n",
                static_cast<double>(measured_) / s_.Seconds, static_cast<unsigned long long>(latency_.Percentile(0.50)),
                static_cast<unsigned long long>(latency_.Percentile(0.99)),
                static_cast<unsigned long long>(sent_ - received_), static_cast<unsigned long long>(sent_),
                static_cast<unsigned long long>(received_), static_cast<unsigned long long>(late_),
                static_cast<unsigned long long>(bad_));
  }

private:
  static constexpr int kBatch = 64;
  static constexpr uint64_t kScanNs = 10'000'000;

  void Receive(std::size_t index) {
    TClient& client = clients_[index];
    // No more than the window can be waiting (a late answer is picked up on the next wake-up),
    // so the read asks for no more and the system does not look for a further one in vain.
    const auto most = static_cast<unsigned>(std::min(s_.Window, kBatch));
    const int count = ::recvmmsg(client.Fd, receiveHeaders_.data(), most, MSG_DONTWAIT, nullptr);
    // A refused or failed read costs the datagrams concerned; the timeout accounts for them.
    if (count <= 0) return;
    const uint64_t now = NowNs();
    for (int m = 0; m < count; ++m) {
      THeader header{};
      if (receiveHeaders_[m].msg_len != s_.Size ||
          (std::memcpy(&header, receive_[m].data(), sizeof header), header.Client != index)) {
        ++bad_;
        continue;
      }
      ++received_;
      const auto slot = std::find_if(client.Slots.begin(), client.Slots.end(),
                                     [&](const TSlot& s) { return s.Live && s.Seq == header.Seq; });
      if (slot == client.Slots.end()) {
        ++late_;
        continue;
      }
      slot->Live = false;
      --outstanding_;
      if (now >= measureFrom_ && now < sendUntil_) {
        ++measured_;
        latency_.Add(now - slot->SentNs);
      }
      if (now < sendUntil_) Queue(index, *slot, now);
    }
    Flush(client);
  }

  // Overdue datagrams are given up on and replaced.
  void GiveUpOverdue(uint64_t now) {
    for (std::size_t i = 0; i < clients_.size(); ++i) {
      for (TSlot& slot : clients_[i].Slots) {
        if (!slot.Live || now - slot.SentNs <= s_.TimeoutNs) continue;
        slot.Live = false;
        --outstanding_;
        if (now < sendUntil_) Queue(i, slot, now);
      }
      Flush(clients_[i]);
    }
  }

  void Queue(std::size_t index, TSlot& slot, uint64_t now) {
    if (queued_ == kBatch) Flush(clients_[index]);
    TClient& client = clients_[index];
    slot = {client.NextSeq++, now, true};
    const THeader header{static_cast<uint32_t>(index), slot.Seq};
    std::memcpy(send_[queued_].data(), &header, sizeof header);
    ++queued_;
    ++outstanding_;
    ++sent_;
  }

  // Whatever is not taken by the socket is lost and found so by the timeout. A lone
  // datagram, the common case, costs the system less as a plain send.
  void Flush(const TClient& client) {
    if (queued_ == 1) ::send(client.Fd, send_[0].data(), s_.Size, 0);
    for (int done = queued_ == 1 ? 1 : 0; done < queued_;) {
      const int n = ::sendmmsg(client.Fd, sendHeaders_.data() + done, static_cast<unsigned>(queued_ - done), 0);
      if (n <= 0) break;
      done += n;
    }
    queued_ = 0;
  }

  TSettings s_;
  std::vector<TClient> clients_;
  int epoll_ = -1;
  std::vector<std::vector<char>> send_, receive_;
  std::vector<iovec> sendIov_, receiveIov_;
  std::vector<mmsghdr> sendHeaders_, receiveHeaders_;
  int queued_ = 0;
  uint64_t measureFrom_ = 0, sendUntil_ = 0;
  uint64_t sent_ = 0, received_ = 0, measured_ = 0, late_ = 0, bad_ = 0;
  int64_t outstanding_ = 0;
  THistogram latency_;
};

// A port the relays can listen on: below the ephemeral range, so that the thousands of
// sockets a run opens with system-picked ports can never take it.
int FreePort() {
  std::mt19937 random(std::random_device{}());
  for (int attempt = 0; attempt < 1000; ++attempt) {
    const int port = 20000 + static_cast<int>(random() % 12000);
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = ::bind(fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) == 0;
    ::close(fd);
    if (free) return port;
  }
  errno = EADDRINUSE;
  Die("no free port");
}

} // namespace

int main(int argc, char** argv) {
  try {
    const gw::bench::TOptions options(argc, argv);
    if (options.Has("free-port")) {
      std::printf("%d\n", FreePort());
      return 0;
    }
    if (!options.Has("target")) throw std::runtime_error("--target 127.0.0.1:PORT is required");
    TSettings settings;
    settings.Target = gw::bench::LoopbackAddress(options.Text("target", ""));
    settings.Clients = static_cast<int>(options.Number("clients", 1));
    settings.Window = static_cast<int>(options.Number("window", 1));
    settings.Size = static_cast<std::size_t>(options.Number("size", 64));
    settings.Seconds = options.Number("seconds", 1);
    settings.Warmup = options.Number("warmup", 0);
    settings.TimeoutNs = static_cast<uint64_t>(options.Number("timeout-ms", 1000) * 1e6);
    if (settings.Clients < 1 || settings.Window < 1 || settings.Size < sizeof(THeader) || settings.Size > 65507 ||
        settings.Seconds <= 0 || settings.Warmup < 0 || settings.Seconds + settings.Warmup > 600)
      throw std::runtime_error("want clients >= 1, window >= 1, 8 <= size <= 65507 and at most 600 s in all");
    TLoad load(settings);
    load.Run();
    load.Print();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "gw-loadgen: %s\n", e.what());
    return 2;
  }
}
