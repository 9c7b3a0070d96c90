#include "masters.h"

#include "context.h"

#include <algorithm>
#include <utility>

namespace gw {

TMaster::TMaster(TEngineContext& context, std::string host, int port, uint64_t id, const TLookupLane& lane)
    : Host(std::move(host)), Port(port), Id(id), Problems(context),
      lookup_(context.Loop(), TMasterLimits::kLookupDeadline, &lane) {}

TMasters::TMasters(TEngineContext& context) : context_(context) {}

TMasters::~TMasters() = default;

void TMasters::Configure(const TMastersSettings& settings) {
  settings_ = settings;
  std::vector<std::unique_ptr<TMaster>> kept;
  kept.reserve(settings.Servers.size());
  const TTime now = context_.Now();
  for (const TMastersSettings::TServer& server : settings.Servers) {
    const auto same = std::find_if(list_.begin(), list_.end(), [&](const std::unique_ptr<TMaster>& master) {
      return master && master->Host == server.Host && master->Port == server.Port;
    });
    if (same != list_.end()) {
      kept.push_back(std::move(*same));
      continue;
    }
    kept.push_back(std::make_unique<TMaster>(context_, server.Host, server.Port, nextId_++, lookups_));
    LookUp(*kept.back(), now);
  }
  list_ = std::move(kept);
  ++generation_;
}

void TMasters::LookUpDue(TTime now) {
  for (const auto& master : list_)
    if (!master->lookup_.Running() && now - master->lookedUpAt_ >= settings_.Interval) LookUp(*master, now);
}

void TMasters::LookUp(TMaster& master, TTime now) {
  master.lookedUpAt_ = now;
  master.lookup_.Start(master.Host, [this, &master](uint32_t address) {
    if (address == 0) {
      master.Problems.Write(1, [&] {
        return "Master " + master.Describe() + " could not be looked up" +
               (master.address_ ? ": heartbeats go on to " + DottedText(master.address_) : ": no heartbeats go to it");
      });
      return;
    }
    master.address_ = address;
  });
}

} // namespace gw
