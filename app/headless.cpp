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
#include "serviceUser.h"
#include "settingsPath.h"
#include "textUtil.h"
#include "udpSocket.h"

#include <uv.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <utility>

namespace {

// The exit statuses, as the usage text and the manual page tell them.
constexpr int kStopped = 0;
constexpr int kCannotStart = 2;

// How often a part beside the tunnels that could not listen (the metrics endpoint, the
// remote control) tries again: a port another program holds is usually let go within
// seconds (a restart) or never (a program that keeps it), and a try costs one bind.
constexpr uint64_t kRetryEveryMs = 5000;
constexpr const char* kRetried = "tried again every 5 s; the tunnels serve meanwhile";

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
    "only. A remote-control or metrics port that another program holds is told as a\n"
    "warning and tried again every 5 s, while the tunnels serve.\n"
    "Exit status:\n"
    "  0  stopped by SIGINT or SIGTERM, or --check found the settings file good\n"
    "  2  a wrong argument, or a settings file that is missing (named by --config, or\n"
    "     checked), cannot be read, has a tunnel or [Masters] entry that does not read,\n"
    "     a port that is not 1 to 65535 or that two tunnels would need, an empty range\n"
    "     of temporary ports, a number or boolean that does not read (--check; a start\n"
    "     takes the default and warns), a [Metrics] entry that cannot be served, or more\n"
    "     tunnels than the descriptor limit can serve\n"
    "Run as root, --check also warns when the service's own user could not read the file.\n";

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
  if (!listening)
    return "remote control off: TCP port " + std::to_string(config.Port) + " could not be listened on (" + kRetried + ")";
  return "remote control on TCP port " + std::to_string(config.Port) + " (temporary tunnels on ports " +
         std::to_string(config.FromPort) + " to " + std::to_string(config.ToPort) + ")";
}

// `wanted` is the [Metrics] of the start, `listening` whether its endpoint serves.
std::string MetricsState(const gw::TMetricsSettings& wanted, bool listening) {
  if (wanted.Port == 0) return "metrics off";
  if (!listening) return "metrics off: " + MetricsUrl(wanted) + " could not be listened on (" + kRetried + ")";
  return "metrics on " + MetricsUrl(wanted);
}

const char* FastPathText(bool on) { return on ? "FastPath=1" : "FastPath=0"; }

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
    // The warnings first, those refused below told as errors only: a refusal for one value
    // still shows what else the file holds (a password that takes a comment along).
    for (const std::string& warning : config.Warnings)
      if (std::ranges::find(config.Unreadable, warning) == config.Unreadable.end() &&
          std::ranges::find(config.Clashes, warning) == config.Clashes.end())
        WriteLine(stdout, gw::TConsoleFrontEnd::kWarningPriority, "warning: " + warning);
    // A start would serve around them, but a reload would refuse them: the file is wrong.
    config.RefuseClashes();
    // Root reads every file; the service's own user, which reads it at each start and
    // reload (its ExecReload= check included), may not. A warning: the file checked by hand
    // may be meant for another use.
    if (const std::optional<std::string> why = gw::UnreadableByServiceUser(config.Path()))
      WriteLine(stdout, gw::TConsoleFrontEnd::kWarningPriority,
                "warning: " + config.Path().string() + ": the service's user could not read it (" + *why +
                    "): the service runs as a user of its own (DynamicUser=yes), neither the file's owner nor in "
                    "its group, so it must be readable by all (chmod 0644 " + config.Path().string() +
                    ", and each folder above it searchable)");
    const std::string fastPath = config.FastPath ? "fast path asked for (FastPath=1)" : "fast path off (FastPath=0)";
    WriteLine(stdout, gw::TConsoleFrontEnd::kInfoPriority,
              SettingsLine(config, StaticTunnels(config), RemoteControlState(config, RemoteControlRefusal(config), true),
                           MetricsState(config.Metrics, true), fastPath));
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
    // Nothing is tried again on the way out.
    retry_.reset();
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
    // The tunnels are the job: a port that another program holds keeps the remote control
    // or the metrics from listening, told and tried again, never the tunnels from serving.
    try {
      core_->StartUp();
    } catch (const std::exception& e) {
      // The remote control's listener is the one part of a start that raises, and it
      // comes before the tunnels.
      TellListenFailure(Reason(e));
      core_->Manager().Reload();
    }
    startMetrics_ = core_->Config().Metrics;
    OpenMetrics();
    retry_ = gw::MakeTimer(loop_, this);
    uv_timer_start(retry_.get(), &THeadless::OnRetry, kRetryEveryMs, kRetryEveryMs);
    const int sockets = core_->Config().StaticSockets();
    // Slow peers of the metrics endpoint may hold its share at any time, from the moment
    // it comes up.
    const int metrics = startMetrics_.Port != 0 ? gw::TMetricsEndpoint::kMostDescriptors : 0;
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

  static void OnRetry(uv_timer_t* handle) {
    auto* self = static_cast<THeadless*>(handle->data);
    if (!self || !self->core_) return;
    gw::RunGuarded([self] {
      const bool metricsUp = !self->metrics_ && self->OpenMetrics();
      const bool remoteUp = !self->RemoteListening() && self->ListenRemote();
      if (metricsUp || remoteUp) self->TellServing();
    });
  }

  bool RemoteListening() {
    return !core_->Config().Temporary || console_.RemoteListener().Active();
  }

  // Listens for remote control, or stops, as the settings say; true when it came up.
  bool ListenRemote() {
    gw::TConfig& config = core_->Config();
    const bool wasListening = console_.RemoteListener().Active();
    try {
      gw::ApplyListenerSettings(console_.RemoteListener(), config);
    } catch (const std::exception& e) {
      TellListenFailure(Reason(e));
      return false;
    }
    remoteFailure_.clear();
    const bool up = !wasListening && console_.RemoteListener().Active();
    if (up) core_->AddLog("Remote control listens on TCP port " + std::to_string(config.Port));
    return up;
  }

  // Told once for each reason, not at every try.
  void TellListenFailure(const std::string& reason) {
    const int port = core_->Config().Port;
    std::string line = "Remote control cannot listen on TCP port " + std::to_string(port) + ": " + reason + " (" +
                       kRetried + ")";
    if (line == remoteFailure_) return;
    remoteFailure_ = line;
    core_->AddLog(line);
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
    if (config.FileFastPath != config.FastPath)
      fastPath += std::string(" (the file says ") + FastPathText(config.FileFastPath) + ", which takes a restart)";
    const std::string tunnels =
        StaticTunnels(config) + ", " + std::to_string(core_->Manager().TemporaryCount()) + " temporary";
    // A default file that is not there reads as the defaults; said, lest it pass for one
    // that was read.
    std::error_code ignored;
    if (!std::filesystem::exists(config.Path(), ignored))
      core_->AddLog(config.Path().string() + " does not exist: the default settings are served");
    core_->AddLog("Serving " + SettingsLine(config, tunnels,
                                            RemoteControlState(config, remoteRefusal_, console_.RemoteListener().Active()),
                                            MetricsState(startMetrics_, metrics_ != nullptr), fastPath));
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
    ListenRemote();
    TellRestartsNeeded();
    TellServing();
  }

  // Opens the metrics endpoint of the start's settings; true when it came up. One that
  // cannot listen is told, once for each reason, and tried again by the retry timer.
  bool OpenMetrics() {
    if (startMetrics_.Port == 0) return false;
    try {
      metrics_ = std::make_unique<gw::TMetricsEndpoint>(loop_, startMetrics_,
                                                        [this] { return gw::TakeSample(*core_); }, clock_);
    } catch (const std::exception& e) {
      std::string line = "Metrics endpoint cannot listen: " + Reason(e) + " (" + kRetried + ")";
      if (line != metricsFailure_) core_->AddLog(line);
      metricsFailure_ = std::move(line);
      return false;
    }
    metricsFailure_.clear();
    core_->AddLog("Metrics on " + MetricsUrl(startMetrics_));
    return true;
  }

  // What a reload read but does not apply. The metrics endpoint serves for the process's
  // life: its HTTP server takes up to two seconds to stop (civetweb's poll quantum), a pause
  // that a reload must not put on the relay. The fast path's program is loaded at start.
  void TellRestartsNeeded() {
    const gw::TConfig& config = core_->Config();
    if (!(config.Metrics == startMetrics_))
      core_->AddLog(std::string("Warning: metrics stay ") +
                    (startMetrics_.Port != 0 ? "on " + MetricsUrl(startMetrics_) : "off") +
                    " until the next start: a changed [Metrics] takes a restart");
    if (config.FileFastPath != config.FastPath)
      core_->AddLog(std::string("Warning: the fast path stays as it started (") + FastPathText(config.FastPath) +
                    ") until the next start: a changed FastPath (" + FastPathText(config.FileFastPath) +
                    ") takes a restart");
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
  // The [Metrics] of the start, which the endpoint serves for the process's life.
  gw::TMetricsSettings startMetrics_;
  // The last failures told, so that a try that fails alike is not told again.
  std::string metricsFailure_;
  std::string remoteFailure_;
  gw::TUvHandle<uv_timer_t> retry_;
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
