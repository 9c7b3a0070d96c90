#include "heartbeats.h"

#include "admission.h"
#include "context.h"
#include "masters.h"
#include "socketLog.h"

#include <algorithm>
#include <string_view>
#include <utility>

namespace gw {

namespace {
using L = TMasterLimits;
// The smallest status query a UT server answers (its game name and version).
constexpr std::string_view kProbe = "\\basic\\";
// Never, for the times below: later than nothing, and safe to add a duration to.
constexpr TTime kNever = TTime::min();
} // namespace

THeartbeats::THeartbeats(TEngineContext& context, const std::unique_ptr<TudpSocket>& querySocket,
                         const uint32_t& serverAddress)
    : context_(context), querySocket_(querySocket), serverAddress_(serverAddress), probeErrors_(context) {}

void THeartbeats::Start(int queryPort, int serverQueryPort, std::string tunnel, TTime now) {
  Stop();
  running_ = true;
  queryPort_ = queryPort;
  serverQueryPort_ = serverQueryPort;
  tunnel_ = std::move(tunnel);
  announcing_ = false;
  announcedLast_ = false;
  // The first heartbeat goes as soon as the server is seen to answer.
  nextAt_ = now;
  answeredAt_ = kNever;
  probedAt_ = kNever;
  announcements_.clear();
  followed_ = 0;
  probeErrors_.Restart();
}

void THeartbeats::Stop() {
  running_ = false;
  probe_.reset();
}

void THeartbeats::Sweep(TTime now) {
  if (!running_) return;
  TMasters* masters = context_.Masters();
  watching_ = masters && !masters->List().empty() && querySocket_ && querySocket_->Active();
  if (!watching_) return;
  if (followed_ != masters->Generation()) Follow(*masters);
  const std::chrono::seconds interval = masters->Settings().Interval;
  const TTime checkFrom = nextAt_ - std::min<TTime::duration>(L::kProbeLead, interval / 2);
  if (now < checkFrom) return;
  if (answeredAt_ < checkFrom) {
    // The server is asked as soon as the heartbeat's time draws near, then every
    // kProbeEvery; it is silent only once a question asked since went a second unanswered,
    // whatever the sweep's moments (a short Interval leaves room for only one or two).
    if (probedAt_ < checkFrom || probedAt_ + L::kProbeEvery <= now) {
      Probe(now);
      return;
    }
    if (now >= nextAt_ && now - probedAt_ >= L::kProbeAnswerWithin && std::exchange(announcing_, false)) {
      context_.AddLog("No heartbeats for " + tunnel_ + ": its server does not answer queries");
      for (TAnnouncement& announcement : announcements_) announcement.Told = false;
    }
    return;
  }
  if (now < nextAt_) return;
  probe_.reset();
  masters->LookUpDue(now);
  SendAll(*masters, now);
  announcing_ = true;
  nextAt_ = now + interval;
}

void THeartbeats::Follow(const TMasters& masters) {
  followed_ = masters.Generation();
  std::vector<TAnnouncement> followed;
  followed.reserve(masters.List().size());
  for (const auto& master : masters.List()) {
    const auto same = std::find_if(announcements_.begin(), announcements_.end(),
                                   [&](const TAnnouncement& announcement) { return announcement.MasterId == master->Id; });
    followed.push_back(same != announcements_.end() ? std::move(*same) : TAnnouncement{master->Id, master->Describe()});
  }
  announcements_ = std::move(followed);
}

void THeartbeats::SendAll(const TMasters& masters, TTime now) {
  const std::string heartbeat =
      "\\heartbeat\\" + std::to_string(queryPort_) + "\\gamename\\" + masters.Settings().GameName;
  announcedLast_ = false;
  for (std::size_t i = 0; i < announcements_.size(); ++i) {
    TMaster& master = *masters.List()[i];
    TAnnouncement& announcement = announcements_[i];
    // Not known yet, or never: the lookup tells that.
    if (master.Address() == 0) continue;
    // The endpoint's own line says why.
    if (!querySocket_->SendTo({master.Address(), static_cast<uint16_t>(master.Port)}, heartbeat)) {
      master.Problems.Write(2, [&] {
        return "Master " + master.Describe() + " could not be reached from port " + std::to_string(queryPort_);
      });
      continue;
    }
    ++master.Heartbeats;
    // The master's answer is a few queries to this port: they are let through, no more.
    context_.Admission().QueryBudget().HeartbeatSent(master.Address(), now);
    ++announcement.Sent;
    announcement.LastSent = now;
    announcedLast_ = true;
    if (!std::exchange(announcement.Told, true))
      context_.AddLog("Announced " + tunnel_ + " to master " + master.Describe() + " as query port " +
                      std::to_string(queryPort_));
  }
}

void THeartbeats::Probe(TTime now) {
  probedAt_ = now;
  // Until the server's name resolves there is nobody to ask.
  if (serverAddress_ == 0) return;
  if (!probe_ || probeAddress_ != serverAddress_) {
    probe_ = std::make_unique<TudpSocket>(context_.Loop());
    probe_->OnReceive = [this](TudpSocket&, std::span<const char>, const TPeerAddress&) {
      answeredAt_ = context_.Now();
    };
    probe_->OnError = [this](const std::string& msg, int num) { LogSocketError(probeErrors_, msg, num); };
    // Made for a tunnel, not a player: it must leave the players' descriptors alone.
    probe_->KeepDescriptorReserve = true;
    probe_->Open();
    if (!probe_->Active() || !probe_->Connect({serverAddress_, static_cast<uint16_t>(serverQueryPort_)})) {
      probe_.reset();
      return;
    }
    probeAddress_ = serverAddress_;
  }
  probe_->SendBuffer(kProbe);
}

} // namespace gw
