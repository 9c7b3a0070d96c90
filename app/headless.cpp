// gatewarden-headless: the relay without a window, for server machines.
#include "consoleFrontEnd.h"
#include "core.h"
#include "descriptorLimit.h"
#include "nameLookup.h"
#include "remotecontrol.h"
#include "settingsPath.h"

#include <uv.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

namespace {

// The exit statuses, as the usage text and the manual page tell them.
constexpr int kStopped = 0;
constexpr int kCannotListen = 1;
constexpr int kCannotStart = 2;

constexpr const char* kUsage =
    "Usage: gatewarden-headless [--config FILE]\n"
    "Relays UDP game traffic through the tunnels of a settings file, without a window.\n"
    "  --config FILE  the settings file (default: gatewarden.ini beside this program when it\n"
    "                 runs from its build folder or one is there, otherwise\n"
    "                 $XDG_CONFIG_HOME/gatewarden/gatewarden.ini, ~/.config when unset)\n"
    "  --help         this text\n"
    "  --version      the version\n"
    "Log lines go to standard output, errors to standard error. The settings file is only\n"
    "read, never written. SIGHUP reads it again and restarts the static tunnels; SIGINT or\n"
    "SIGTERM stops the relay.\n"
    "Exit status:\n"
    "  0  stopped by SIGINT or SIGTERM\n"
    "  1  the remote-control port could not be listened on (taken by another program)\n"
    "  2  a wrong argument, or a settings file that cannot be read or has a tunnel entry\n"
    "     that does not read\n";

struct TArguments {
  std::filesystem::path Settings;
  bool Help = false;
  bool Version = false;
};

std::optional<TArguments> ParseArguments(int argc, char** argv) {
  TArguments arguments;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      arguments.Help = true;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      arguments.Version = true;
    } else if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      arguments.Settings = argv[++i];
    } else {
      std::fprintf(stderr, "gatewarden-headless: unexpected argument '%s'\n%s", argv[i], kUsage);
      return std::nullopt;
    }
  }
  if (arguments.Settings.empty()) arguments.Settings = gw::DefaultSettingsPath();
  return arguments;
}

// The error's text followed by the failures nested in it ("Unable to read F: Permission denied").
std::string Reason(const std::exception& e) {
  std::string text = e.what();
  try {
    std::rethrow_if_nested(e);
  } catch (const std::exception& nested) {
    text += ": " + Reason(nested);
  } catch (...) {
  }
  return text;
}

std::string ListenFailure(int port, const std::exception& e) {
  return "gatewarden-headless: cannot listen for remote control on TCP port " + std::to_string(port) + ": " +
         Reason(e);
}

// The running relay with its signals: SIGINT and SIGTERM stop it, SIGHUP reloads it.
class THeadless {
public:
  explicit THeadless(uv_loop_t* loop) : loop_(loop), console_(loop), presenter_(console_) {
    // Watched from the start: a stop that arrives while the settings load or the tunnels
    // start is handled by the loop's first turn.
    const int signals[3] = {SIGINT, SIGTERM, SIGHUP};
    for (int i = 0; i < 3; ++i) {
      signals_[i].reset(new uv_signal_t{});
      uv_signal_init(loop, signals_[i].get());
      signals_[i]->data = this;
      uv_signal_start(signals_[i].get(), &THeadless::OnSignal, signals[i]);
    }
  }

  int Run(const std::filesystem::path& settings) {
    const int status = Serve(settings);
    if (core_) core_->Detach();
    Drain();
    return status;
  }

private:
  int Serve(const std::filesystem::path& settings) {
    try {
      core_ = std::make_unique<gw::TCore>(loop_, settings, clock_);
    } catch (const std::exception& e) {
      console_.ShowMessage("gatewarden-headless: cannot start: " + Reason(e));
      console_.ShowMessage("gatewarden-headless: the settings file was left as it is");
      return kCannotStart;
    }
    core_->Attach(console_);
    // Without its remote control the relay is not what its settings ask for, and a second
    // copy on the same settings would serve nothing: a supervisor must hear of it.
    try {
      core_->StartUp();
    } catch (const std::exception& e) {
      console_.ShowMessage(ListenFailure(core_->Config().Port, e));
      return kCannotListen;
    }
    uv_run(loop_, UV_RUN_DEFAULT);
    return kStopped;
  }

  static void OnSignal(uv_signal_t* handle, int signal) {
    auto* self = static_cast<THeadless*>(handle->data);
    if (signal != SIGHUP)
      uv_stop(handle->loop);
    else if (self->core_)
      gw::RunGuarded([self] { self->Reload(); });
  }

  // Like the desktop's Reload, with the file read again first: temporary tunnels stay.
  void Reload() {
    gw::TConfig& config = core_->Config();
    try {
      config.Reload();
    } catch (const std::exception& e) {
      console_.ShowMessage("gatewarden-headless: the settings were not reloaded, the running ones stay: " + Reason(e));
      return;
    }
    core_->AddLog("Settings reloaded from " + config.Path().string());
    core_->Manager().Reload();
    try {
      gw::ApplyListenerSettings(console_.RemoteListener(), config);
    } catch (const std::exception& e) {
      console_.ShowMessage(ListenFailure(config.Port, e));
    }
  }

  // The last lines get a moment to go out; a reader that takes none of them does not keep
  // the program from ending.
  void Drain() {
    bool expired = false;
    const gw::TUvHandle<uv_timer_t> deadline = gw::MakeTimer(loop_, &expired);
    uv_timer_start(
        deadline.get(),
        [](uv_timer_t* timer) {
          *static_cast<bool*>(timer->data) = true;
          uv_stop(timer->loop);
        },
        1000, 0);
    while (!console_.Idle() && !expired) uv_run(loop_, UV_RUN_ONCE);
  }

  uv_loop_t* loop_;
  gw::TConsoleFrontEnd console_;
  gw::TPresenterScope presenter_;
  gw::TSteadyClock clock_;
  std::unique_ptr<gw::TCore> core_;
  gw::TUvHandle<uv_signal_t> signals_[3];
};

} // namespace

int main(int argc, char** argv) {
  const std::optional<TArguments> arguments = ParseArguments(argc, argv);
  if (!arguments) return kCannotStart;
  if (arguments->Help) {
    std::fputs(kUsage, stdout);
    return kStopped;
  }
  if (arguments->Version) {
    std::puts("gatewarden-headless " GW_VERSION);
    return kStopped;
  }

  // A log line written after the reader of standard output has gone must not end the relay.
  std::signal(SIGPIPE, SIG_IGN);
  gw::RaiseDescriptorLimit();
  uv_loop_t loop;
  uv_loop_init(&loop);
  int status = 0;
  {
    THeadless relay(&loop);
    status = relay.Run(arguments->Settings);
  }
  // Handles closed on the way out are released by one more turn of the loop.
  uv_run(&loop, UV_RUN_NOWAIT);
  uv_loop_close(&loop);
  return gw::EndWithoutWaitingForLookups(status);
}
