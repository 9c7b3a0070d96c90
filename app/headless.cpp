// gatewarden-headless: the relay without a window, for server machines.
#include "consoleFrontEnd.h"
#include "core.h"
#include "descriptorLimit.h"
#include "presenter.h"

#include <uv.h>

#include <cstdio>
#include <cstring>
#include <optional>

namespace {

constexpr const char* kUsage =
    "Usage: gatewarden-headless [--config FILE]\n"
    "Relays UDP game traffic through the tunnels of a settings file, without a window.\n"
    "  --config FILE  the settings file (default: gatewarden.ini beside this program)\n"
    "  --help         this text\n"
    "Log lines go to standard output, errors to standard error. SIGINT or SIGTERM stops\n"
    "the relay and writes the settings file back; if that fails the exit status is 1.\n";

std::optional<std::filesystem::path> ParseArguments(int argc, char** argv, bool& help) {
  std::filesystem::path path = gw::DefaultSettingsPath();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      help = true;
    } else if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      path = argv[++i];
    } else {
      std::fprintf(stderr, "gatewarden-headless: unexpected argument '%s'\n%s", argv[i], kUsage);
      return std::nullopt;
    }
  }
  return path;
}

void Fail(const char* what, const std::exception& e) {
  std::fprintf(stderr, "gatewarden-headless: %s: %s\n", what, e.what());
}

// Runs the relay until a stop signal; returns the exit status.
int Run(uv_loop_t* loop, const std::filesystem::path& settings) {
  // Watched from the start: a stop that arrives while the settings load or the tunnels
  // start is handled by the loop's first turn, with the settings saved as on any stop.
  const auto stopOnSignal = [](uv_signal_t* handle, int) { uv_stop(handle->loop); };
  gw::TUvHandle<uv_signal_t> signals[2];
  const int stopSignals[2] = {SIGINT, SIGTERM};
  for (int i = 0; i < 2; ++i) {
    signals[i].reset(new uv_signal_t{});
    uv_signal_init(loop, signals[i].get());
    uv_signal_start(signals[i].get(), stopOnSignal, stopSignals[i]);
  }

  gw::TSteadyClock clock;
  gw::TConsoleFrontEnd console(loop);
  std::unique_ptr<gw::TCore> core;
  try {
    core = std::make_unique<gw::TCore>(loop, settings, clock);
  } catch (const std::exception& e) {
    Fail("cannot start", e);
    std::fprintf(stderr, "gatewarden-headless: the settings file was left as it is\n");
    return 2;
  }
  core->Attach(console);
  gw::RunGuarded([&] { core->StartUp(); });

  uv_run(loop, UV_RUN_DEFAULT);

  core->Detach();
  try {
    core->Config().Save();
  } catch (const std::exception& e) {
    Fail("cannot save the settings", e);
    return 1;
  }
  return 0;
}

} // namespace

int main(int argc, char** argv) {
  bool help = false;
  const std::optional<std::filesystem::path> settings = ParseArguments(argc, argv, help);
  if (!settings) return 2;
  if (help) {
    std::fputs(kUsage, stdout);
    return 0;
  }

  gw::RaiseDescriptorLimit();
  uv_loop_t loop;
  uv_loop_init(&loop);
  const int status = Run(&loop, *settings);
  // Handles closed on the way out are released by one more turn of the loop.
  uv_run(&loop, UV_RUN_NOWAIT);
  uv_loop_close(&loop);
  return status;
}
