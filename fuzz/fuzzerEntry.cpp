// The libFuzzer entry of one target, chosen at build time by GW_FUZZ_TARGET. Whatever
// escapes the target, a broken invariant or an error the product should not raise, is
// printed and turned into a crash, which libFuzzer saves as a reproducer.
#include "fuzzTargets.h"

#include <cstdio>
#include <cstdlib>
#include <exception>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  try {
    gw::fuzz::GW_FUZZ_TARGET(data, size);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "fuzz target failed: %s\n", e.what());
    std::abort();
  }
  return 0;
}
