// gatewarden: the desktop program.
#include "core.h"
#include "descriptorLimit.h"
#include "nameLookup.h"
#include "desktopPresenter.h"
#include "main.h"
#include "programIcon.h"
#include "settingsPath.h"
#include "uiStyle.h"
#include "uvPump.h"
#include "x11Window.h"

#include <QApplication>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage =
    "Usage: gatewarden [--config FILE]\n"
    "The desktop relay for Unreal Tournament servers: a window with the static tunnels, the\n"
    "log and the options, and an icon in the notification area.\n"
    "  --config FILE  the settings file (default: gatewarden.ini beside this program when it\n"
    "                 runs from its build folder or one is there, otherwise\n"
    "                 $XDG_CONFIG_HOME/gatewarden/gatewarden.ini, ~/.config when unset)\n"
    "  --help         this text\n"
    "  --version      the version\n"
    "It needs a display; gatewarden-headless is the same relay without a window.\n";

constexpr const char* kHeadlessHint = "gatewarden-headless runs the same relay without a window";

// --help, --version and a wrong option are answered before Qt starts, which aborts without
// a display. Qt's own options (-platform, -display, ...) take one dash, the program's two.
std::optional<int> AnswerWithoutDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::puts("gatewarden " GW_VERSION);
      return 0;
    }
    if (std::strcmp(argv[i], "--config") == 0 && i + 1 < argc) {
      ++i;
    } else if (std::strncmp(argv[i], "--", 2) == 0) {
      std::fprintf(stderr, "gatewarden: unexpected argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }
  return std::nullopt;
}

// Qt ends the program (qFatal, then abort) when no platform plugin starts: a DISPLAY whose
// server does not answer, a WAYLAND_DISPLAY without a compositor. While QApplication is made
// its messages are kept; a fatal one becomes one line naming the display and the first
// message, and status 2, as without a display. Kept messages of a start that works go on
// to Qt's own handler.
std::vector<std::string> gStartMessages;
QtMessageHandler gQtHandler = nullptr;

void KeepStartMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
  if (type != QtFatalMsg) {
    gStartMessages.push_back(message.toLocal8Bit().toStdString());
    return;
  }
  const std::string reason = gStartMessages.empty() ? message.section('\n', 0, 0).toLocal8Bit().toStdString()
                                                    : gStartMessages.front();
  const char* display = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  std::fprintf(stderr, "gatewarden: the display does not answer (DISPLAY=%s, WAYLAND_DISPLAY=%s): %s; %s\n",
               display ? display : "", wayland ? wayland : "", reason.c_str(), kHeadlessHint);
  std::fflush(stderr);
  static_cast<void>(context);
  std::_Exit(2);
}

void ReleaseStartMessages() {
  qInstallMessageHandler(gQtHandler);
  for (const std::string& message : gStartMessages) std::fprintf(stderr, "%s\n", message.c_str());
  gStartMessages.clear();
}

// Without a display Qt aborts with a message about platform plugins; say what is missing
// and what runs without one. A platform named by QT_QPA_PLATFORM or -platform is Qt's to try.
bool HasDisplay(int argc, char** argv) {
  for (const char* variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
    if (const char* value = std::getenv(variable); value != nullptr && *value != '\0') return true;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0) return true;
  return false;
}

// The settings file: --config FILE, or the default place (see settingsPath.h).
std::optional<std::filesystem::path> SettingsFile(const QStringList& arguments) {
  if (arguments.size() == 1) return gw::DefaultSettingsPath();
  if (arguments.size() == 3 && arguments[1] == "--config") return arguments[2].toLocal8Bit().toStdString();
  // The first that is not --config with its file.
  const qsizetype unexpected = arguments.size() > 3 && arguments[1] == "--config" ? 3 : 1;
  std::fprintf(stderr, "gatewarden: unexpected argument '%s'\n%s", arguments[unexpected].toLocal8Bit().constData(),
               kUsage);
  return std::nullopt;
}

// Set once the main loop has ended and the program is on its way out.
bool gEnding = false;

// SIGTERM (a logout, kill), SIGINT and SIGHUP end the program as Quit does, settings saved.
// One that comes while the program is already ending (a box telling that the save failed
// waits for its OK) ends every loop, so a second signal always ends the program.
std::vector<gw::TUvHandle<uv_signal_t>> QuitOnSignals(uv_loop_t* loop) {
  std::vector<gw::TUvHandle<uv_signal_t>> handles;
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    handles.emplace_back(new uv_signal_t{});
    uv_signal_init(loop, handles.back().get());
    uv_signal_start(
        handles.back().get(),
        [](uv_signal_t*, int) {
          if (gEnding)
            QCoreApplication::exit(1);
          else
            QApplication::quit();
        },
        signal);
  }
  return handles;
}

// A failure the program cannot go on from: on standard error and in a box.
void FatalReport(const QString& text) {
  std::fprintf(stderr, "gatewarden: %s\n", text.toLocal8Bit().constData());
  QMessageBox box(QMessageBox::Critical, "Gatewarden", text, QMessageBox::Ok);
  box.exec();
}

} // namespace

int main(int argc, char** argv) {
  if (const std::optional<int> answered = AnswerWithoutDisplay(argc, argv)) return *answered;
  if (!HasDisplay(argc, argv)) {
    std::fprintf(stderr, "gatewarden: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); %s\n", kHeadlessHint);
    return 2;
  }
  gQtHandler = qInstallMessageHandler(&KeepStartMessage);
  QApplication application(argc, argv);
  ReleaseStartMessages();
  QApplication::setApplicationName("Gatewarden");
  // The tray icon outlives hidden windows: only Quit ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  // No window of the program, boxes included, ever gets a taskbar button.
  gw::TOffTaskbar offTaskbar;
  try {
    // Every window carries the program's icon.
    QApplication::setWindowIcon(gw::ProgramIcon());
  } catch (const std::exception& e) {
    FatalReport(QString("Gatewarden cannot start: %1.").arg(e.what()));
    return 2;
  }
  gw::TDesktopPresenter presenter;
  gw::TPresenterScope presenterScope(presenter);

  const std::optional<std::filesystem::path> settings = SettingsFile(QApplication::arguments());
  if (!settings) return 2;
  // The folder under ~/.config may not exist yet; one that cannot be made shows as the
  // first save's error.
  std::error_code ignored;
  if (std::filesystem::create_directories(settings->parent_path(), ignored))
    std::filesystem::permissions(settings->parent_path(), std::filesystem::perms::owner_all, ignored);

  gw::RaiseDescriptorLimit();
  uv_loop_t loop;
  uv_loop_init(&loop);
  gw::TSteadyClock clock;
  int status = 0;
  {
    std::unique_ptr<gw::TCore> core;
    try {
      core = std::make_unique<gw::TCore>(&loop, *settings, clock);
    } catch (const std::exception& e) {
      FatalReport(QString("Gatewarden cannot start: %1.\nThe settings file was left as it is.").arg(e.what()));
      // What the core had opened is released by one more turn of the loop.
      uv_run(&loop, UV_RUN_NOWAIT);
      uv_loop_close(&loop);
      return 2;
    }
    gw::TUvPump pump(&loop);
    const auto quitSignals = QuitOnSignals(&loop);
    {
      gw::TfmMain window(*core);
      gw::CentreOnScreen(window);
      core->AddLog("Settings file: " + core->Config().Path().string());
      for (const std::string& warning : core->Config().Warnings) core->AddLog("Warning: " + warning);
      window.show();
      QApplication::exec();
    }
    gEnding = true;
    try {
      core->Config().Save();
    } catch (const std::exception& e) {
      FatalReport(QString("Gatewarden could not save its settings: %1.").arg(e.what()));
      status = 1;
    }
  }
  // Handles closed on the way out are released by one more turn of the loop.
  uv_run(&loop, UV_RUN_NOWAIT);
  uv_loop_close(&loop);
  return gw::EndWithoutWaitingForLookups(status);
}
