#pragma once

#include "clock.h"
#include "repeatedLog.h"
#include "udpSocket.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace gw {

class TEngineContext;
class TMasters;

// The heartbeats of one static tunnel to the master servers of the process: the tunnel's
// query port is announced as its game server's, from that port, so that a master's queries
// come to the relay and are relayed like any other. A heartbeat goes only while the game
// server answers queries, through the tunnel or one of the tunnel's own: a dead server is
// not advertised.
class THeartbeats {
public:
  // `querySocket` is the tunnel's field for its query endpoint and `serverAddress` its
  // answer for its server's name, both followed as they change.
  THeartbeats(TEngineContext& context, const std::unique_ptr<TudpSocket>& querySocket, const uint32_t& serverAddress);
  THeartbeats(const THeartbeats&) = delete;
  THeartbeats& operator=(const THeartbeats&) = delete;

  // The tunnel opened: `queryPort` is announced, the server's query port (`serverQueryPort`)
  // is asked when nothing else shows it answers. `tunnel` names the tunnel in lines.
  void Start(int queryPort, int serverQueryPort, std::string tunnel, TTime now);
  // The tunnel closed or became another: no heartbeat goes until the next Start.
  void Stop();
  // The game server answered a query relayed through the tunnel.
  void ServerAnswered(TTime now) { answeredAt_ = now; }
  // Once a second: asks the server when a heartbeat is near and nothing showed it answers,
  // and sends the heartbeats that are due.
  void Sweep(TTime now);

  // What the tunnel told each master of the process's list.
  struct TAnnouncement {
    uint64_t MasterId = 0;
    std::string Master;
    // Heartbeats sent, and when the last went.
    uint64_t Sent = 0;
    TTime LastSent{};
    // Its first heartbeat, or the first since the server answered again, was told.
    bool Told = false;
  };
  const std::vector<TAnnouncement>& Announcements() const { return announcements_; }
  // The heartbeats watch the server: the tunnel serves its query port and the process has
  // masters. The two below mean something only then.
  bool Watching() const { return running_ && watching_; }
  // The server answered a query before the last heartbeat was due.
  bool ServerAnswering() const { return announcing_; }
  // The last heartbeats went to at least one master (one whose address is known).
  bool Announced() const { return announcing_ && announcedLast_; }

private:
  // Follows the process's list: announcements to masters still in it are kept.
  void Follow(const TMasters& masters);
  void SendAll(const TMasters& masters, TTime now);
  void Probe(TTime now);

  TEngineContext& context_;
  const std::unique_ptr<TudpSocket>& querySocket_;
  const uint32_t& serverAddress_;
  bool running_ = false;
  int queryPort_ = 0;
  int serverQueryPort_ = 0;
  std::string tunnel_;
  bool watching_ = false;
  // Whether the heartbeats went last time (a silent server is told when they stop).
  bool announcing_ = false;
  // Whether the last ones reached a master.
  bool announcedLast_ = false;
  TTime nextAt_{};
  TTime answeredAt_{};
  TTime probedAt_{};
  // The tunnel's own status query, connected to the server's query port.
  std::unique_ptr<TudpSocket> probe_;
  uint32_t probeAddress_ = 0;
  TRepeatedLog probeErrors_;
  // One for each master of the list, in its order, as of the list's generation `followed_`.
  std::vector<TAnnouncement> announcements_;
  uint64_t followed_ = 0;
};

} // namespace gw
