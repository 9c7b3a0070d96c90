#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace gw::test {

// The text of the error of type TError that `run` raises, or a failure when it raises none.
template <typename TError>
std::string ErrorOf(const std::function<void()>& run) {
  try {
    run();
  } catch (const TError& error) {
    return error.what();
  }
  ADD_FAILURE() << "nothing was raised";
  return {};
}

} // namespace gw::test
