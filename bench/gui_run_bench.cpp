// gui_run_bench LIST: runs Start Extraction in the real window (offscreen) over the
// addresses of LIST and reports the run's time and the longest stall of the event loop,
// measured as the largest gap between ticks of a 10 ms timer.
#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTimer>
#include <cstdio>

#include "app/MainWindow.h"
#include "fetch/CurlFetcher.h"
#include "qt/QtServices.h"

namespace {

class AnsweringBoxes : public orvanel::MessageBoxes {
 public:
  orvanel::BoxAnswer Message(const std::string& text, orvanel::BoxStyle,
                             const std::string&) override {
    if (text.find("cannot be extracted") != std::string::npos) ++failures;
    return orvanel::BoxAnswer::kOk;
  }
  std::string Input(const std::string&) override { return {}; }
  int failures = 0;
};

class NoDialog : public orvanel::FileDialog {
 public:
  std::string OpenFileName(const std::string&, const std::string&) override { return {}; }
  std::string SaveFileName(const std::string&, const std::string&) override { return {}; }
};

class MemorySettings : public orvanel::SettingsStore {
 public:
  std::string Get(const std::string&, const std::string& fallback) override { return fallback; }
  void Save(const std::string&, const std::string&) override {}
};

}  // namespace

int main(int argc, char** argv) {
  // Offscreen unless told otherwise (QT_QPA_PLATFORM=xcb under Xvfb draws for real).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: gui_run_bench LIST [mode 1|2|3]\n");
    return 2;
  }
  AnsweringBoxes boxes;
  NoDialog dialog;
  MemorySettings settings;
  orvanel::QtClipboard clipboard;
  orvanel::QtShell shell;
  orvanel::QtEventPump pump;
  auto fetcher = orvanel::MakeCurlFetcher();
  fetcher->SetNotify([&pump] { pump.Wake(); });
  orvanel::WindowServices services{&boxes,  &dialog, &settings,     &clipboard,    &shell,
                                   nullptr, &pump,   fetcher.get(), "/nonexistent"};
  orvanel::MainWindow window(services);
  window.StartUp();
  window.show();  // painted as the user sees it
  QFile list(QString::fromLocal8Bit(argv[1]));
  if (!list.open(QIODevice::ReadOnly)) return 2;
  std::vector<std::string> addresses;
  while (!list.atEnd()) addresses.push_back(list.readLine().trimmed().toStdString());
  window.Addresses().AddMany(addresses);
  const char* mode = argc > 2 ? argv[2] : "2";
  window.findChild<QWidget*>(QStringLiteral("Option%1").arg(mode))->setProperty("checked", true);

  QElapsedTimer since_tick;
  qint64 longest_gap = 0;
  QTimer ticker;
  ticker.setInterval(10);
  QObject::connect(&ticker, &QTimer::timeout,
                   [&] { longest_gap = std::max(longest_gap, since_tick.restart()); });
  QElapsedTimer run;
  QTimer::singleShot(0, [&] {
    since_tick.start();
    ticker.start();
    run.start();
    window.StartExtraction();
    const double seconds = static_cast<double>(run.elapsed()) / 1000.0;
    std::printf("%zu addresses: %.2f s, %zu rows, %d failures, longest event-loop gap %lld ms\n",
                addresses.size(), seconds, window.Results().Count(), boxes.failures, longest_gap);
    app.quit();
  });
  return app.exec();
}
