#include "admission.h"

#include <gtest/gtest.h>

namespace gw {
namespace {

using namespace std::chrono_literals;

// A flood of sources each seen once spends what first-comers may have; a source turned
// away that tries again a moment later still gets in, to every tunnel it asks, while one
// that repeats itself at once does not pass for it.
TEST(TrialPace, ASourceThatComesBackGoesBeforeAFloodOfNewOnes) {
  TTrialPace pace;
  const TTime start = TTime{} + 1000h;
  uint64_t source = 1;
  for (int i = 0; i < TAdmissionLimits::kFirstComersAtOnce; ++i) ASSERT_TRUE(pace.Admit(source++, start));
  const uint64_t newcomer = source++;
  const uint64_t repeater = source++;
  EXPECT_FALSE(pace.Admit(newcomer, start));
  EXPECT_FALSE(pace.Admit(repeater, start));
  EXPECT_FALSE(pace.Admit(repeater, start)) << "a repeat at once passed for a return";

  const TTime later = start + TAdmissionLimits::kComesBackAfter;
  int firstComers = 0;
  for (int i = 0; i < 2000; ++i) firstComers += pace.Admit(source++, later);
  // Only what the pace earned in the meantime.
  EXPECT_LE(firstComers, TAdmissionLimits::kNewTrialsPerSecond / 100 + 1);
  EXPECT_TRUE(pace.Admit(newcomer, later));
  // A browser's refresh asks every server from one port: each tunnel makes it a trial.
  EXPECT_TRUE(pace.Admit(newcomer, later)) << "a source back was let into one tunnel only";
}

// Two newcomers whose first places in the table of sources turned away meet, trying again
// at the same pace while a flood spends what first-comers may have, both come back.
TEST(TrialPace, NewcomersWhosePlacesMeetBothComeBack) {
  TTrialPace pace;
  TTime now = TTime{} + 1000h;
  uint64_t flood = 1'000'000;
  const uint64_t one = 1;
  uint64_t other = one + 1;
  while (gw_turned_away_slot(other, 0) != gw_turned_away_slot(one, 0)) ++other;
  bool oneIn = false, otherIn = false;
  for (int round = 0; round < 10 && !(oneIn && otherIn); ++round, now += 20ms) {
    while (pace.Admit(flood++, now)) {
    }
    oneIn = oneIn || pace.Admit(one, now);
    otherIn = otherIn || pace.Admit(other, now);
  }
  EXPECT_TRUE(oneIn);
  EXPECT_TRUE(otherIn);
}

} // namespace
} // namespace gw
