#include "queryBudget.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <functional>
#include <memory>
#include <random>

namespace gw {
namespace {

using namespace std::chrono_literals;
using L = TQueryLimits;

// A status reply, as a UT server sends one.
constexpr std::size_t kReply = 2000;
// A forged `\status\`.
constexpr std::size_t kQuery = 8;

TPeerAddress Source(const char* dotted, uint16_t port) { return {inet_addr(dotted), port}; }

// A forger that never reads a reply sends `rate` queries a second for `seconds` from the
// sources `forged` gives it, while a browser at `browser` sends a refresh's burst of 10 at
// once and then one every half second from 3 s on, as a window stays open. The budget
// answers what it lets through with a status reply.
struct TUnderForgery {
  int BrowserSent = 0;
  int BrowserAnswered = 0;
  uint64_t ForgedSent = 0;
  uint64_t ForgedAnswered = 0;
};

TUnderForgery Forge(TQueryBudget& budget, int rate, std::chrono::seconds seconds,
                    const std::function<TPeerAddress(uint64_t)>& forged, const TPeerAddress& browser) {
  TUnderForgery result;
  const TTime start = TTime{} + 1000h;
  std::vector<TTime> browsing(10, start + 3s);
  for (int i = 1; i <= 18; ++i) browsing.push_back(start + 3s + i * 500ms);
  auto nextBrowsing = browsing.begin();
  const auto step = std::chrono::microseconds(1'000'000 / rate);
  for (TTime now = start; now < start + seconds; now += step) {
    if (budget.Spend(forged(result.ForgedSent++), now)) {
      ++result.ForgedAnswered;
      budget.Replied(kReply, now);
    }
    for (; nextBrowsing != browsing.end() && *nextBrowsing <= now; ++nextBrowsing) {
      ++result.BrowserSent;
      if (budget.Spend(browser, now)) {
        ++result.BrowserAnswered;
        budget.Replied(kReply, now);
      }
    }
  }
  return result;
}

// A browser whose address, or network, a forger borrows still lists the server, as does one
// elsewhere while forged sources from everywhere spend what the process sends; and what
// reaches a victim stays below what the forger sends, in bytes.
TEST(QueryBudget, ABrowserIsAnsweredWhileForgersSpendTheBudgetsAndVictimsGetLessThanIsSent) {
  std::mt19937 random(7);
  const TPeerAddress browser = Source("198.51.100.7", 40000);
  struct TCase {
    const char* Name;
    int Rate;
    // The forged sources name one address or one network: a victim's.
    bool OneVictim;
    std::function<TPeerAddress(uint64_t)> Forged;
  };
  const TCase cases[] = {
      {"one source at the browser's address", 4000, true, [](uint64_t) { return Source("198.51.100.7", 27900); }},
      {"every port of the browser's address", 20, true,
       [&](uint64_t) { return TPeerAddress{inet_addr("198.51.100.7"), static_cast<uint16_t>(1024 + random() % 64000)}; }},
      {"every address of the browser's /24", 4000, true,
       [](uint64_t i) { return TPeerAddress{htonl(0xC6336400u | (i % 256)), 27900}; }},
      {"sources from everywhere", 4000, false,
       [&](uint64_t) { return TPeerAddress{static_cast<uint32_t>(random()), static_cast<uint16_t>(random())}; }},
  };
  for (const TCase& test : cases) {
    TQueryBudget budget;
    const TUnderForgery got = Forge(budget, test.Rate, 10s, test.Forged, browser);
    EXPECT_GE(2 * got.BrowserAnswered, got.BrowserSent) << test.Name;
    if (test.OneVictim && test.Rate >= 2000) {
      EXPECT_LT(got.ForgedAnswered * kReply, got.ForgedSent * kQuery) << test.Name;
    }
  }
}

// A refresh asks every server of the relay at once: it is answered whole, from one browser or
// from eight of one network, however many servers the relay serves.
TEST(QueryBudget, ARefreshOfEveryServerIsAnsweredWhole) {
  TQueryBudget budget;
  std::vector<std::unique_ptr<TQueryBudget::TQueryPort>> ports;
  for (int i = 0; i < 20; ++i) ports.push_back(std::make_unique<TQueryBudget::TQueryPort>(budget));
  const TTime now = TTime{} + 1000h;
  int answered = 0;
  for (uint32_t player = 1; player <= 8; ++player)
    for (int server = 0; server < 20; ++server)
      answered += budget.Spend({htonl(0xCB007100u | player), 50000}, now);
  EXPECT_EQ(answered, 160);
  ports.clear();
  EXPECT_EQ(budget.QueryPorts(), 0);
}

// A heartbeat opens the few queries a master answers it with, beyond what any source gets,
// for a while; a forger at the master's address meanwhile gets no more than those.
TEST(QueryBudget, AHeartbeatOpensAFewQueriesOfTheMasterForAWhile) {
  TQueryBudget budget;
  const TPeerAddress master = Source("192.0.2.10", 28900);
  const TTime start = TTime{} + 1000h;
  const auto burst = [&](TTime now) {
    int answered = 0;
    for (int i = 0; i < 100; ++i) answered += budget.Spend(master, now);
    return answered;
  };
  EXPECT_FALSE(budget.MasterMayQuery(master.Address, start));
  EXPECT_EQ(burst(start), L::kQueryBurstPerSource);
  budget.HeartbeatSent(master.Address, start + 1s);
  EXPECT_TRUE(budget.MasterMayQuery(master.Address, start + 1s));
  // The heartbeat's queries; beyond them it asked more than its share, as a forger does.
  EXPECT_EQ(burst(start + 1s), L::kMasterQueriesPerHeartbeat);
  budget.HeartbeatSent(master.Address, start + 2s);
  EXPECT_EQ(burst(start + 2s + L::kMasterAnswersWithin + 1s), L::kQueryBurstPerSource)
      << "queries a heartbeat opened stay open for a while only";

  // Forged at the master's address, 2,000 a second for 10 s, while heartbeats go every 2 s.
  uint64_t sent = 0, answered = 0;
  const TTime flood = start + 1h;
  for (TTime now = flood; now < flood + 10s; now += 500us, ++sent) {
    if ((now - flood) % 2s == 0s) budget.HeartbeatSent(master.Address, now);
    answered += budget.Spend({master.Address, static_cast<uint16_t>(sent)}, now);
  }
  EXPECT_LT(answered * kReply, sent * kQuery);
}

} // namespace
} // namespace gw
