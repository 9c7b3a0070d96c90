#pragma once

#include "core.h"
#include "frontEnd.h"
#include "loopHarness.h"
#include "remoteListener.h"
#include "tempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace gw::test {

// A front end that records what the core asks of it.
class TRecordingFrontEnd final : public TFrontEnd {
public:
  explicit TRecordingFrontEnd(uv_loop_t* loop) : Listener(loop) {}

  void AppendLog(const std::string& line) override {
    Lines.push_back(line);
    Calls.push_back("log");
  }
  void RefreshTunnelList() override { Calls.push_back("refresh"); }
  void SetCaption(const std::string& caption) override { Caption = caption; }
  TRemoteListener& RemoteListener() override { return Listener; }

  std::vector<std::string> LinesStartingWith(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const auto& line : Lines)
      if (line.rfind(prefix, 0) == 0) found.push_back(line);
    return found;
  }

  std::vector<std::string> Lines;
  std::vector<std::string> Calls;
  std::string Caption;
  TRemoteListener Listener;
};

// The shared core on a real loop with a manual clock, from a settings file of the test's.
struct TCoreFixture : ::testing::Test {
  std::filesystem::path SettingsFile() const { return Folder / "gatewarden.ini"; }

  // Loads `settings` and attaches the front end; StartUp is left to the test.
  TCore& Load(const std::string& settings) {
    TTempFolder::Write(SettingsFile(), settings);
    Core = std::make_unique<TCore>(Context.Loop(), SettingsFile(), Context.ManualClock);
    Core->Attach(FrontEnd);
    return *Core;
  }

  TTestContext Context;
  TTempFolder Folder;
  TRecordingFrontEnd FrontEnd{Context.Loop()};
  std::unique_ptr<TCore> Core;
};

} // namespace gw::test
