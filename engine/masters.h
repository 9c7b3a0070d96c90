#pragma once

#include "clock.h"
#include "nameLookup.h"
#include "repeatedLog.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gw {

class TEngineContext;

// Every limit of the heartbeats to master servers, with its reason.
struct TMasterLimits {
  // The port every GameSpy-style master takes heartbeats on.
  static constexpr int kDefaultPort = 27900;
  // UT's own uplink sends one a minute; masters drop a server they have not heard from for
  // some minutes.
  static constexpr std::chrono::seconds kDefaultInterval{60};
  // Short intervals serve tests; an hour is longer than any master keeps a silent server.
  static constexpr std::chrono::seconds kMinInterval{1};
  static constexpr std::chrono::seconds kMaxInterval{3600};
  // Every static tunnel sends each master a heartbeat per interval: the masters of the
  // world are a handful, and more entries than this are a mistake, not a need.
  static constexpr std::size_t kMaxMasters = 32;
  // A game name is a short word ("ut"); it goes into every heartbeat as it stands.
  static constexpr std::size_t kMaxGameNameLength = 32;
  // A dead game server is not advertised: a heartbeat goes only when the server answered a
  // query within this long before it was due. When no query through the tunnel has shown
  // that, the tunnel sends one of its own from this long before, every kProbeEvery, while
  // no answer comes (with a short interval, half the interval before).
  static constexpr std::chrono::seconds kProbeLead{5};
  static constexpr std::chrono::seconds kProbeEvery{2};
  // A server on a sane link answers a status query within milliseconds; one that has not
  // within this long is taken as silent.
  static constexpr std::chrono::seconds kProbeAnswerWithin{1};
  // A name server answers within a second or two, or its resolver tries again and gives up
  // after 5 s a try: a master's name not found by then is taken as failed (the address
  // that worked is kept), and the master's lookups take turns on one worker thread, which
  // stays held until the resolver gives up.
  static constexpr std::chrono::seconds kLookupDeadline{5};
};

// [Masters] of the settings.
struct TMastersSettings {
  struct TServer {
    std::string Host;
    int Port = TMasterLimits::kDefaultPort;
    bool operator==(const TServer&) const = default;
  };
  std::vector<TServer> Servers;
  std::chrono::seconds Interval = TMasterLimits::kDefaultInterval;
  std::string GameName = "ut";

  bool operator==(const TMastersSettings&) const = default;
};

// One master server of the settings: its address, looked up in the background, and what
// was sent to it.
class TMaster {
public:
  // Its lookups go in `lane`, the masters' one.
  TMaster(TEngineContext& context, std::string host, int port, uint64_t id, const TLookupLane& lane);

  // "host:port", as the settings name it.
  std::string Describe() const { return Host + ":" + std::to_string(Port); }
  // Network byte order; 0 until the name resolves. A lookup that fails later keeps the
  // address that worked.
  uint32_t Address() const { return address_; }

  const std::string Host;
  const int Port;
  // Tells the masters of one list apart from those of an earlier list.
  const uint64_t Id;
  // Heartbeats sent to it by every tunnel.
  uint64_t Heartbeats = 0;
  // Its lookup failures and the heartbeats that could not be sent, a line then a count.
  TRepeatedLog Problems;

private:
  friend class TMasters;
  TNameLookup lookup_;
  TTime lookedUpAt_{};
  uint32_t address_ = 0;
};

// The master servers of the process, the same for every tunnel: their addresses, looked up
// without holding the loop up, again once an interval. Their lookups take turns in one lane,
// so masters whose names hang never delay a tunnel's own lookup. A heartbeat sent to one
// opens the few queries it answers with in the query budgets (TQueryBudget::HeartbeatSent),
// no more: its address can be forged as any other.
class TMasters {
public:
  explicit TMasters(TEngineContext& context);
  ~TMasters();
  TMasters(const TMasters&) = delete;
  TMasters& operator=(const TMasters&) = delete;

  // Takes the settings: a master that stays keeps its address and counts; new ones are
  // looked up now.
  void Configure(const TMastersSettings& settings);
  const TMastersSettings& Settings() const { return settings_; }
  const std::vector<std::unique_ptr<TMaster>>& List() const { return list_; }
  // Changes whenever the list does.
  uint64_t Generation() const { return generation_; }
  // Looks up again each master whose name was last looked up an interval ago or more.
  void LookUpDue(TTime now);

private:
  void LookUp(TMaster& master, TTime now);

  TEngineContext& context_;
  TLookupLane lookups_;
  TMastersSettings settings_;
  std::vector<std::unique_ptr<TMaster>> list_;
  uint64_t nextId_ = 1;
  uint64_t generation_ = 1;
};

} // namespace gw
