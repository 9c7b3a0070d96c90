#pragma once

#include "presenter.h"

#include <string>
#include <vector>

namespace gw::test {

// Collects what would be shown to the user, for as long as it lives.
class TRecordingPresenter final : public TPresenter {
public:
  void ShowError(const std::string& text) override { Errors.push_back(text); }
  void ShowMessage(const std::string& text) override { Messages.push_back(text); }

  std::vector<std::string> Errors;
  std::vector<std::string> Messages;

private:
  TPresenterScope scope_{*this};
};

} // namespace gw::test
