#include "repeatedLog.h"

#include <unordered_set>
#include <vector>

namespace gw {

namespace {
// The logs holding a count not yet written; the sweep visits only these.
std::unordered_set<TRepeatedLog*> gCounting;
} // namespace

TRepeatedLog::~TRepeatedLog() { gCounting.erase(this); }

void TRepeatedLog::Count(uint64_t times) {
  repeats_ += times;
  gCounting.insert(this);
  if (context_.Now() - writtenAt_ >= kSummaryInterval) WriteCount();
}

void TRepeatedLog::WriteNew(int key, std::string line) {
  if (repeats_ > 0) WriteCount();
  written_ = true;
  key_ = key;
  line_ = std::move(line);
  writtenAt_ = context_.Now();
  context_.AddLog(line_);
}

void TRepeatedLog::Restart() {
  if (repeats_ > 0) WriteCount();
  written_ = false;
}

void TRepeatedLog::WriteCount() {
  const uint64_t repeats = repeats_;
  repeats_ = 0;
  gCounting.erase(this);
  writtenAt_ = context_.Now();
  context_.AddLog(line_ + " (" + std::to_string(repeats) + " more)");
}

void TRepeatedLog::FlushAll(TTime now) {
  // Writing a line may not add or drop a log, but the set is copied so that it could.
  std::vector<TRepeatedLog*> due;
  for (TRepeatedLog* log : gCounting)
    if (now - log->writtenAt_ >= kSummaryInterval) due.push_back(log);
  for (TRepeatedLog* log : due)
    if (gCounting.contains(log)) log->WriteCount();
}

} // namespace gw
