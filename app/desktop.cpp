// gatewarden: the desktop program.
#include "core.h"
#include "descriptorLimit.h"
#include "desktopPresenter.h"
#include "main.h"
#include "programIcon.h"
#include "uiStyle.h"
#include "uvPump.h"
#include "x11Window.h"

#include <QApplication>
#include <QMessageBox>

#include <cstdio>

namespace {

// A failure the program cannot go on from: on standard error and in a box.
void FatalReport(const QString& text) {
  std::fprintf(stderr, "gatewarden: %s\n", text.toLocal8Bit().constData());
  QMessageBox box(QMessageBox::Critical, "Gatewarden", text, QMessageBox::Ok);
  box.exec();
}

} // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
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

  gw::RaiseDescriptorLimit();
  uv_loop_t loop;
  uv_loop_init(&loop);
  gw::TSteadyClock clock;
  int status = 0;
  {
    std::unique_ptr<gw::TCore> core;
    try {
      core = std::make_unique<gw::TCore>(&loop, gw::DefaultSettingsPath(), clock);
    } catch (const std::exception& e) {
      FatalReport(QString("Gatewarden cannot start: %1.\nThe settings file was left as it is.").arg(e.what()));
      // What the core had opened is released by one more turn of the loop.
      uv_run(&loop, UV_RUN_NOWAIT);
      uv_loop_close(&loop);
      return 2;
    }
    gw::TUvPump pump(&loop);
    {
      gw::TfmMain window(*core);
      gw::CentreOnScreen(window);
      window.show();
      QApplication::exec();
    }
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
  return status;
}
