// gatewarden-headless: the relay without a window, for server machines.
#include "consoleFrontEnd.h"
#include "core.h"
#include "descriptorLimit.h"
#include "fastPath.h"
#include "mastersSection.h"
#include "metricsEndpoint.h"
#include "nameLookup.h"
#include "relaySample.h"
#include "remotecontrol.h"
#include "serviceNotify.h"
#include "settingsPath.h"
#include "textUtil.h"
#include "udpSocket.h"

#include <uv.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// The exit statuses, as the usage text and the manual page tell them.
constexpr int kStopped = 0;
constexpr int kCannotListen = 1;
constexpr int kCannotStart = 2;

constexpr const char* kUsage =
    "Usage: gatewarden-headless [--check] [--config FILE]\n"
    "Relays UDP game traffic through the tunnels of a settings file, without a window.\n"
    "  --config FILE  the settings file, which must exist (default: gatewarden.ini beside\n"
    "                 this program when it runs from its build folder or one is there,\n"
    "                 otherwise $XDG_CONFIG_HOME/gatewarden/gatewarden.ini, ~/.config when\n"
    "                 unset; a missing default file means the default settings)\n"
    "  --check        read the settings file as a start or a reload would, say what is\n"
    "                 wrong with it or its warnings and what it would serve, and end;\n"
    "                 nothing is served, and a missing file is an error\n"
    "  --help         this text\n"
    "  --version      the version\n"
    "Log lines go to standard output, errors to standard error. The settings file is only\n"
    "read, never written. SIGHUP reads it again and restarts the static tunnels whose entry\n"
    "changed; SIGINT or SIGTERM stops the relay. Remote control is never opened with an\n"
    "empty or the default password. [Metrics] Port opens a Prometheus endpoint, at start\n"
    "only.\n"
    "Exit status:\n"
    "  0  stopped by SIGINT or SIGTERM, or --check found the settings file good\n"
    "  1  the remote-control or the metrics port could not be listened on (taken by\n"
    "     another program)\n"
    "  2  a wrong argument, or a settings file that is missing (named by --config, or\n"
    "     checked), cannot be read, has a tunnel or [Masters] entry that does not read,\n"
    "     a port that is not 1 to 65535 or that two tunnels would need, an empty range\n"
    "     of temporary ports, a [Metrics] entry that cannot be served, or more tunnels\n"
    "     than the descriptor limit can serve\n";

struct TArguments {
  std::filesystem::path Settings;
  // Named by --config: the file must exist.
  gw::TIfMissing IfMissing = gw::TIfMissing::ReadEmpty;
  bool Check = false;
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
    } else if (std::strcmp(argv[i], "--check") == 0) {
      arguments.Check = true;
    } else if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      arguments.Settings = argv[++i];
      arguments.IfMissing = gw::TIfMissing::Fail;
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

// The headless program alone serves [Metrics]: a section it cannot serve is its own refusal.
void CheckMetricsSettings(const gw::TConfig& config) {
  if (!config.Metrics.Problem.empty()) throw gw::TSettingsError(config.Metrics.Problem);
}

std::string MetricsUrl(const gw::TMetricsSettings& metrics) {
  return "http://" + metrics.Address + ":" + std::to_string(metrics.Port) + "/metrics";
}

// Why the settings' remote control is not opened, or nothing when it may be.
std::optional<std::string> RemoteControlRefusal(const gw::TConfig& config) {
  const char* guessable = config.GuessablePassword();
  if (!config.Temporary || guessable == nullptr) return std::nullopt;
  return std::string("remote control stays off: its password is ") + guessable +
         ", with which anyone could make tunnels to any host (set Password in [RemoteAdmin])";
}

// The static tunnels by their ports, the first few of them.
std::string StaticTunnels(gw::TConfig& config) {
  std::string text = std::to_string(config.Count()) + " static tunnels";
  if (config.Count() == 0) return text;
  // Enough to recognise a small file; a large one is told by its count.
  constexpr int kPortsShown = 8;
  text += " on ";
  for (int i = 0; i < config.Count() && i < kPortsShown; ++i)
    text += (i ? ", " : "") + std::to_string(config.Items(i).ListenPort);
  if (config.Count() > kPortsShown) text += ", ...";
  return text + (config.AddPort ? " (each with its query port)" : "");
}

// How the remote control serves, given why it stays off (`refusal`) or whether it listens.
std::string RemoteControlState(const gw::TConfig& config, const std::optional<std::string>& refusal, bool listening) {
  if (refusal) return *refusal;
  if (!config.Temporary) return "remote control off (Temporary=0)";
  if (!listening) return "remote control off: TCP port " + std::to_string(config.Port) + " could not be listened on";
  return "remote control on TCP port " + std::to_string(config.Port) + " (temporary tunnels on ports " +
         std::to_string(config.FromPort) + " to " + std::to_string(config.ToPort) + ")";
}

std::string MetricsState(const gw::TMetricsSettings* served) {
  return served && served->Port != 0 ? "metrics on " + MetricsUrl(*served) : "metrics off";
}

std::string SettingsLine(gw::TConfig& config, const std::string& tunnels, const std::string& remote,
                         const std::string& metrics, const std::string& fastPath) {
  return config.Path().string() + ": " + tunnels + "; " + remote + "; " + metrics + "; " + fastPath + "; " +
         gw::DescribeMasters(config.Masters);
}

// One line on a standard stream; under the journal with its priority (sd-daemon(3)).
void WriteLine(FILE* stream, const char* priority, const std::string& text) {
  const bool journal = gw::IsJournalStream(fileno(stream));
  std::fprintf(stream, "%sgatewarden-headless: %s\n", journal ? priority : "", text.c_str());
}

// Every line of a reason, each at error priority: the journal keeps a line's priority to
// itself.
void WriteError(const std::string& text) {
  gw::ForEachLine(text, [](std::string_view line) {
    WriteLine(stderr, gw::TConsoleFrontEnd::kErrorPriority, std::string(line));
  });
}

// Reads the settings as a start would, and ends: what is wrong with them, or what they hold.
// A missing file is an error even where a start would take the defaults: a check of a file
// that is not there says nothing of the one that will be read.
int Check(const TArguments& arguments) {
  uv_loop_t loop;
  uv_loop_init(&loop);
  int status = kStopped;
  try {
    const gw::TSteadyClock clock;
    gw::TCore core(&loop, arguments.Settings, clock, gw::TIfMissing::Fail);
    gw::TConfig& config = core.Config();
    CheckMetricsSettings(config);
    // A start would serve around them, but a reload would refuse them: the file is wrong.
    config.RefuseClashes();
    for (const std::string& warning : config.Warnings)
      WriteLine(stdout, gw::TConsoleFrontEnd::kWarningPriority, "warning: " + warning);
    const std::string fastPath = config.FastPath ? "fast path asked for (FastPath=1)" : "fast path off (FastPath=0)";
    WriteLine(stdout, gw::TConsoleFrontEnd::kInfoPriority,
              SettingsLine(config, StaticTunnels(config), RemoteControlState(config, RemoteControlRefusal(config), true),
                           MetricsState(&config.Metrics), fastPath));
  } catch (const std::exception& e) {
    WriteError(Reason(e));
    if (arguments.IfMissing == gw::TIfMissing::ReadEmpty && !std::filesystem::exists(arguments.Settings))
      WriteError("without --config the file beside the program or in ~/.config is checked; the service reads the "
                 "file its unit names (systemctl cat gatewarden)");
    status = kCannotStart;
  }
  std::fflush(stdout);
  uv_run(&loop, UV_RUN_NOWAIT);
  uv_loop_close(&loop);
  return status;
}

// The running relay with its signals: SIGINT and SIGTERM stop it, SIGHUP reloads it.
class THeadless {
public:
  explicit THeadless(uv_loop_t* loop) : loop_(loop), console_(loop), presenter_(console_), notifier_(loop) {
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

  int Run(const TArguments& arguments) {
    const int status = Serve(arguments);
    // Before the core: a scrape's sample is taken from it.
    metrics_.reset();
    if (core_) core_->Detach();
    Drain();
    return status;
  }

private:
  int Serve(const TArguments& arguments) {
    try {
      core_ = std::make_unique<gw::TCore>(loop_, arguments.Settings, clock_, arguments.IfMissing);
      CheckMetricsSettings(core_->Config());
    } catch (const std::exception& e) {
      gw::ForEachLine(Reason(e), [this](std::string_view line) {
        console_.ShowMessage("gatewarden-headless: cannot start: " + std::string(line));
      });
      console_.ShowMessage("gatewarden-headless: the settings file was left as it is");
      return kCannotStart;
    }
    core_->Attach(console_);
    TellWarnings();
    KeepRemoteControlSafe();
    // Without its remote control the relay is not what its settings ask for, and a second
    // copy on the same settings would serve nothing: a supervisor must hear of it.
    try {
      core_->StartUp();
    } catch (const std::exception& e) {
      console_.ShowMessage(ListenFailure(core_->Config().Port, e));
      return kCannotListen;
    }
    try {
      OpenMetrics();
    } catch (const std::exception& e) {
      console_.ShowMessage("gatewarden-headless: " + Reason(e));
      return kCannotListen;
    }
    const int sockets = core_->Config().StaticSockets();
    // Slow peers of the metrics endpoint may hold its share at any time.
    const int metrics = metrics_ ? gw::TMetricsEndpoint::kMostDescriptors : 0;
    const int64_t room = core_->Config().RoomForClients(metrics);
    core_->AddLog("Descriptor limit " + std::to_string(gw::DescriptorLimit()) + ": room for " + std::to_string(room) +
                  " clients at once besides the tunnels' " + std::to_string(sockets) + " sockets" +
                  (metrics ? " and the metrics endpoint's " + std::to_string(metrics) : ""));
    TellServing();
    notifier_.Ready(*core_);
    uv_run(loop_, UV_RUN_DEFAULT);
    return kStopped;
  }

  static void OnSignal(uv_signal_t* handle, int signal) {
    auto* self = static_cast<THeadless*>(handle->data);
    if (signal != SIGHUP) {
      self->notifier_.Stopping();
      uv_stop(handle->loop);
    } else if (self->core_) {
      gw::RunGuarded([self] {
        self->notifier_.Reloading();
        try {
          self->Reload();
        } catch (...) {
          self->notifier_.Reloaded();
          throw;
        }
        self->notifier_.Reloaded();
      });
    }
  }

  // The headless program is reached from anywhere: it never opens remote control with a
  // password that anyone can guess, and says so at error priority.
  void KeepRemoteControlSafe() {
    gw::TConfig& config = core_->Config();
    remoteRefusal_ = RemoteControlRefusal(config);
    if (!remoteRefusal_) return;
    config.Temporary = false;
    console_.ShowMessage("gatewarden-headless: " + *remoteRefusal_);
  }

  // What the file holds that reads otherwise than it may seem to, at warning priority.
  void TellWarnings() {
    for (const std::string& warning : core_->Config().Warnings) core_->AddLog("Warning: " + warning);
  }

  // One line of what runs now: the file, the tunnels, the remote control, metrics, fast
  // path and masters.
  void TellServing() {
    gw::TConfig& config = core_->Config();
    std::string fastPath = "fast path off (FastPath=0)";
    if (gw::TFastPath* kernel = config.FastPath ? core_->FastPath() : nullptr)
      fastPath = kernel->Loaded() ? "fast path on" : "fast path off: " + kernel->Failure();
    const std::string tunnels =
        StaticTunnels(config) + ", " + std::to_string(core_->Manager().TemporaryCount()) + " temporary";
    // A default file that is not there reads as the defaults; said, lest it pass for one
    // that was read.
    std::error_code ignored;
    if (!std::filesystem::exists(config.Path(), ignored))
      core_->AddLog(config.Path().string() + " does not exist: the default settings are served");
    core_->AddLog("Serving " + SettingsLine(config, tunnels,
                                            RemoteControlState(config, remoteRefusal_, console_.RemoteListener().Active()),
                                            MetricsState(metrics_ ? &metrics_->Settings() : nullptr), fastPath));
  }

  // Like the desktop's Reload, with the file read again first: tunnels whose entry is
  // unchanged serve on untouched, temporary tunnels stay.
  void Reload() {
    gw::TConfig& config = core_->Config();
    gw::TReloaded reloaded;
    try {
      reloaded = config.Reload();
    } catch (const std::exception& e) {
      gw::ForEachLine(Reason(e), [this](std::string_view line) {
        console_.ShowMessage("gatewarden-headless: the settings were not reloaded, the running ones stay: " +
                             std::string(line));
      });
      return;
    }
    core_->AddLog("Settings reloaded from " + config.Path().string());
    TellWarnings();
    KeepRemoteControlSafe();
    core_->Manager().Reload(std::move(reloaded));
    try {
      gw::ApplyListenerSettings(console_.RemoteListener(), config);
    } catch (const std::exception& e) {
      console_.ShowMessage(ListenFailure(config.Port, e));
    }
    TellMetricsChange();
    TellServing();
  }

  // Opens the metrics endpoint the settings ask for; raises when it cannot listen.
  void OpenMetrics() {
    const gw::TMetricsSettings& wanted = core_->Config().Metrics;
    if (wanted.Port == 0) return;
    metrics_ = std::make_unique<gw::TMetricsEndpoint>(loop_, wanted, [this] { return gw::TakeSample(*core_); }, clock_);
    core_->AddLog("Metrics on " + MetricsUrl(wanted));
  }

  // The endpoint serves for the process's life: its HTTP server takes up to two seconds to
  // stop (civetweb's poll quantum), a pause that a reload must not put on the relay.
  void TellMetricsChange() {
    const gw::TMetricsSettings& wanted = core_->Config().Metrics;
    const bool same = metrics_ ? metrics_->Settings() == wanted : wanted.Port == 0;
    if (same) return;
    core_->AddLog(std::string("Metrics stay ") + (metrics_ ? "on " + MetricsUrl(metrics_->Settings()) : "off") +
                  " until the next start: a changed [Metrics] takes a restart");
  }

  // The last lines get a moment to go out; a reader that takes none of them does not keep
  // the program from ending.
  void Drain() {
    // A reader that is there takes the last lines well within it; one that takes nothing
    // holds the stop no longer.
    constexpr uint64_t kDrainWithinMs = 1000;
    bool expired = false;
    const gw::TUvHandle<uv_timer_t> deadline = gw::MakeTimer(loop_, &expired);
    uv_timer_start(
        deadline.get(),
        [](uv_timer_t* timer) {
          *static_cast<bool*>(timer->data) = true;
          uv_stop(timer->loop);
        },
        kDrainWithinMs, 0);
    while (!console_.Idle() && !expired) uv_run(loop_, UV_RUN_ONCE);
  }

  uv_loop_t* loop_;
  gw::TConsoleFrontEnd console_;
  gw::TPresenterScope presenter_;
  gw::TSteadyClock clock_;
  gw::TServiceNotifier notifier_;
  std::unique_ptr<gw::TCore> core_;
  std::unique_ptr<gw::TMetricsEndpoint> metrics_;
  // Why the settings' remote control was kept off, if it was.
  std::optional<std::string> remoteRefusal_;
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
  if (arguments->Check) return Check(*arguments);
  uv_loop_t loop;
  uv_loop_init(&loop);
  int status = 0;
  {
    THeadless relay(&loop);
    status = relay.Run(*arguments);
  }
  // Handles closed on the way out are released by one more turn of the loop.
  uv_run(&loop, UV_RUN_NOWAIT);
  uv_loop_close(&loop);
  return gw::EndWithoutWaitingForLookups(status);
}
