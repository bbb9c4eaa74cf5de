// Orvanel: reads the head section of many web pages in one run.
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QSocketNotifier>
#include <csignal>
#include <cstdlib>

#include "app/MainWindow.h"
#include "fetch/CurlFetcher.h"
#include "lists/Samples.h"
#include "qt/QtServices.h"
#include "storage/IniSettingsStore.h"
#include "workbook/XlsxWorkbook.h"

namespace {

int g_signal_pipe[2] = {-1, -1};

void OnTerminate(int) {
  const char byte = 1;
  // Only async-signal-safe calls here: the window does the rest from its event loop. A
  // failed write is ignored on purpose: nothing more can be done in a signal handler, and
  // a byte already waiting wakes the window just the same.
  [[maybe_unused]] const ssize_t n = ::write(g_signal_pipe[1], &byte, 1);
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromUtf8(orvanel::kProductName));
  QApplication::setOrganizationName(QString::fromUtf8(orvanel::kSettingsApplication));
  QApplication::setQuitOnLastWindowClosed(true);

  orvanel::QtMessageBoxes boxes(nullptr);
  orvanel::QtFileDialog dialog(nullptr);
  orvanel::IniSettingsStore settings(orvanel::UserSettingsPath());
  orvanel::QtClipboard clipboard;
  orvanel::QtShell shell;
  orvanel::QtEventPump pump;
  auto spreadsheet = orvanel::MakeXlsxSpreadsheetApp(&pump);
  auto fetcher = orvanel::MakeCurlFetcher();
  fetcher->SetNotify([&pump] { pump.Wake(); });

  orvanel::WindowServices services;
  services.boxes = &boxes;
  services.dialog = &dialog;
  services.settings = &settings;
  services.clipboard = &clipboard;
  services.shell = &shell;
  services.spreadsheet = spreadsheet.get();
  services.pump = &pump;
  services.fetcher = fetcher.get();
  services.program_folder =
      orvanel::FindProgramFolder(QCoreApplication::applicationDirPath().toStdString());

  orvanel::MainWindow window(services);
  // A close request in the middle of a command ends the program at once; the tag list is
  // saved before this runs.
  window.SetExitWhileBusy([] { std::_Exit(0); });

  // SIGTERM, SIGINT and SIGHUP are close requests.
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, g_signal_pipe) == 0) {
    auto* notifier = new QSocketNotifier(g_signal_pipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
      char byte;
      // The byte only wakes the window; what it holds, and whether it came, does not matter.
      [[maybe_unused]] const ssize_t n = ::read(g_signal_pipe[0], &byte, 1);
      window.CloseFromOutside();
    });
    struct sigaction action {};
    action.sa_handler = OnTerminate;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    // A signal whose handler cannot be set keeps its default action (the program ends
    // without saving the tag list): ignored on purpose, the program is usable either way.
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(sig, &action, nullptr);
  }
  // A desktop logout asks the program to save its work first.
  QObject::connect(&app, &QGuiApplication::commitDataRequest, &window,
                   [&window](QSessionManager&) { window.SaveUnattended(); });

  window.StartUp();
  window.show();
  return app.exec();
}
