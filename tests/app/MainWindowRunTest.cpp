// Runs, exports and closing on the real main window, with a real fetcher against loopback
// servers. Every wait is for the event itself, bounded generously.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QElapsedTimer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "LoopbackServer.h"
#include "WindowHarness.h"
#include "lists/TagList.h"

using namespace orvanel;
using namespace orvanel::testing;

class MainWindowRunTest : public QObject {
  Q_OBJECT
 private slots:
  void aRunFillsTheTableAndTheExportsFollowTheChecks() {
    LoopbackServer server;
    server.Route("/a", [](auto&, auto& c) { c.Respond(200, "<title>A</title>"); });
    server.Route("/b", [](auto&, auto& c) { c.Respond(200, "<p>none</p>"); });
    Harness h;
    h.settings.values["Option"] = "2";
    h.Window().StartUp();
    h.Window().Addresses().Add(server.Url("/a"));
    h.Window().Addresses().Add(server.Url("/b"));
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
    QCOMPARE(h.boxes.Texts(), std::vector<std::string>{"Done."});
    QCOMPARE(h.Window().Results().Count(), std::size_t{2});
    QCOMPARE(h.Window().Results().Header(2), std::string("Title"));
    QCOMPARE(h.Find<QProgressBar>("ProgressBar1")->format(), QStringLiteral("Progress Bar"));

    // The user ticks the second row and unticks the first: the clipboard follows.
    auto* view = h.Find<QTableView>("ListView2");
    view->model()->setData(view->model()->index(1, 0), Qt::Checked, Qt::CheckStateRole);
    view->model()->setData(view->model()->index(0, 0), Qt::Unchecked, Qt::CheckStateRole);
    QTest::mouseClick(h.Find<QPushButton>("PushButton1"), Qt::LeftButton);
    // Widths come from every row: the title column is one wide ("A").
    QCOMPARE(h.clipboard.text.value_or(""), server.Url("/b") + "\t \t\t\r\n");

    // Double-click removes the selected row.
    view->selectionModel()->select(view->model()->index(0, 0),
                                   QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QTest::keyClick(view, Qt::Key_Backspace);
    QCOMPARE(h.Window().Results().Count(), std::size_t{2});
    QTest::keyClick(view, Qt::Key_Delete);
    QCOMPARE(h.Window().Results().Count(), std::size_t{1});
    QTest::keyClick(view, Qt::Key_Delete);  // nothing selected now
    QCOMPARE(h.Window().Results().Count(), std::size_t{1});
  }

  void fourAddressesShowTheirProgressAndFailuresInOrder() {
    LoopbackServer server;
    server.Route("/slow", [](auto&, auto& c) {
      c.Sleep(300);
      c.Respond(200, "<head><title>Slow</title></head>");
    });
    server.Route("/fast",
                 [](auto&, auto& c) { c.Respond(200, "<head><title>Fast</title></head>"); });
    Harness h;
    h.settings.values["Option"] = "1";
    h.Window().StartUp();
    const std::string file = h.folder.File("page one.htm", "<HEAD>local</HEAD>");
    for (const auto& a : {server.Url("/slow"), std::string("http://127.0.0.1:1/refused"), file,
                          server.Url("/fast")}) {
      h.Window().Addresses().Add(a);
    }
    QSignalSpy values(h.Find<QProgressBar>("ProgressBar1"), &QProgressBar::valueChanged);
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
    QList<int> seen;
    for (const auto& v : values) seen << v.at(0).toInt();
    QCOMPARE(seen, (QList<int>{25, 50, 75, 100, 0}));
    QCOMPARE(h.boxes.Texts(), (std::vector<std::string>{
                                  "URL http://127.0.0.1:1/refused cannot be extracted.", "Done."}));
    QCOMPARE(h.Window().Results().Count(), std::size_t{3});  // no head row for the failed one
    QCOMPARE(h.Window().Results().SubItem(1, 1), std::string("<head><title>Slow</title></head>"));
    QCOMPARE(h.Window().Results().SubItem(2, 1), std::string("<HEAD>local</HEAD>"));
    QCOMPARE(h.Window().Results().Header(2), std::string("Head Tag"));
  }

  // During a run the window is drawn every 150 ms at most, not on every pass of the event
  // loop; what the run changed last is drawn after it, and its last row is scrolled to.
  void aLongRunIsDrawnAtIntervalsAndWhollyAtTheEnd() {
    LoopbackServer server;
    server.Route("/p", [](auto& request, auto& c) {
      c.Sleep(40);
      c.Respond(200, "<title>" + request.path.substr(request.path.find('?') + 1) + "</title>");
    });
    Harness h;
    h.settings.values["Option"] = "2";
    h.Window().StartUp();
    h.Window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.Window(), 60'000));
    std::vector<std::string> addresses;
    for (int i = 0; i < 300; ++i) addresses.push_back(server.Url("/p?" + std::to_string(i)));
    h.Window().Addresses().AddMany(addresses);
    QTest::qWait(200);

    struct PaintCounter : QObject {
      int paints = 0;
      bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::UpdateRequest) ++paints;
        return false;
      }
    } counter;
    h.Window().installEventFilter(&counter);  // sees what the run lets through
    QElapsedTimer run;
    run.start();
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
    const qint64 took = run.elapsed();
    QCOMPARE(h.Window().Results().Count(), std::size_t{300});
    QVERIFY2(took > 500, "the run is long enough to tell");
    QVERIFY2(counter.paints >= 2, "drawn while the run goes");
    QVERIFY2(counter.paints <= took / 150 + 3,
             qPrintable(QString::number(counter.paints) + " paints in " + QString::number(took) +
                        " ms"));
    counter.paints = 0;
    // Drawn once more after the run, and scrolled to its last row.
    QTRY_VERIFY_WITH_TIMEOUT(counter.paints >= 1, 60'000);
    auto* view = h.Find<QTableView>("ListView2");
    QTRY_VERIFY_WITH_TIMEOUT(
        view->viewport()->rect().intersects(view->visualRect(view->model()->index(299, 0))),
        60'000);
  }

  void closingDuringARunSavesTagsAndEndsAtOnce() {
    // The page is asked for, and answered only once the window was closed.
    std::atomic<bool> asked{false};
    std::atomic<bool> closed{false};
    LoopbackServer server;
    server.Route("/slow", [&](auto&, auto& c) {
      asked = true;
      for (int i = 0; i < 12'000 && !closed; ++i) c.Sleep(10);
      c.Respond(200, "<title>late</title>");
    });
    Harness h;
    h.Window().StartUp();
    h.Window().Addresses().Add(server.Url("/slow"));
    bool was_busy = false;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &h.Window(), [&] {
      if (!asked) return;
      closer.stop();
      was_busy = h.Window().IsExtracting() && h.Window().IsBusy();
      h.Window().close();
      // A real program ends here; the test lets the run finish on its own.
      closed = true;
    });
    closer.start(10);
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
    QVERIFY(closed);
    QVERIFY(was_busy);
    QCOMPARE(h.exits, 1);
    QCOMPARE(h.settings.values["Tags"], TagsToStorage(DefaultTags()));
  }

  // A list file saved by any Linux editor ends with a line feed: loaded and run, it gives
  // its addresses' rows and nothing else (no empty address, no failure message).
  void aListFileWithUnixLineEndsGivesNoEmptyAddress() {
    LoopbackServer server;
    server.Route("/a", [](auto&, auto& c) { c.Respond(200, "<title>A</title>"); });
    Harness h;
    h.settings.values["Option"] = "2";
    h.Window().StartUp();
    h.dialog.answers.push_back(
        h.folder.File("list.txt", server.Url("/a") + "\n" + server.Url("/a") + "\n"));
    QTest::mouseClick(h.Find<QPushButton>("PushButton5"), Qt::LeftButton);
    QCOMPARE(h.Window().Addresses().Count(), std::size_t{2});
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
    QCOMPARE(h.boxes.Texts(), std::vector<std::string>{"Done."});
    QCOMPARE(h.Window().Results().Count(), std::size_t{2});
  }

  // Closed while a list still loads, the program ends at once with its tags stored: the
  // load would otherwise go on into a window that is gone.
  void closingWhileAListLoadsEndsTheProgram() {
    Harness h;
    h.Window().StartUp();
    const std::string fifo = h.folder.path() + "/list.fifo";
    QCOMPARE(::mkfifo(fifo.c_str(), 0600), 0);
    // Held open for writing here too, so the reader meets no end until the feeder ends.
    const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
    QVERIFY(writer >= 0);
    std::atomic<bool> closed{false};
    std::thread feeder([&] {
      // An address now and then, until the window has closed (at most 60 s).
      const std::string line = "http://127.0.0.1:1/\n";
      for (int i = 0; i < 3000 && !closed; ++i) {
        (void)!::write(writer, line.data(), line.size());
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
      }
      ::close(writer);
    });
    bool closed_while_loading = false;  // no event loop runs here but the load's own
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, &h.Window(), [&] {
      if (h.Window().Addresses().Count() == 0) return;  // not under way yet
      closer.stop();
      h.Window().close();
      closed = closed_while_loading = true;
    });
    closer.start(5);
    h.dialog.answers.push_back(fifo);
    QTest::mouseClick(h.Find<QPushButton>("PushButton5"), Qt::LeftButton);
    closed = true;  // whatever happened, the feeder stops
    feeder.join();
    QVERIFY(closed_while_loading);
    QCOMPARE(h.exits, 1);
    QCOMPARE(h.settings.values["Tags"], TagsToStorage(DefaultTags()));
  }

  void startWithAnEmptyListOnlySaysSo() {
    Harness h;
    h.Window().StartUp();
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
    QCOMPARE(h.boxes.Texts(), std::vector<std::string>{"No files added."});
    QCOMPARE(h.Window().Results().Header(1), std::string("Results"));
  }
};

QTEST_MAIN(MainWindowRunTest)
#include "MainWindowRunTest.moc"
