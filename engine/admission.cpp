#include "admission.h"

namespace gw {

namespace {
// Every trial of the process in order of creation; all run on the loop's thread.
std::list<TTrialPlace*> gTrials;
} // namespace

TTrialPlace::TTrialPlace(TServer& tunnel, uint64_t clientKey)
    : Tunnel(tunnel), ClientKey(clientKey), place_(gTrials.insert(gTrials.end(), this)) {}

TTrialPlace::~TTrialPlace() { gTrials.erase(place_); }

TTrialPlace* TTrialPlace::Oldest() { return gTrials.empty() ? nullptr : gTrials.front(); }

std::size_t TTrialPlace::Count() { return gTrials.size(); }

} // namespace gw
