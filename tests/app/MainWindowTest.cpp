#include <QApplication>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalSpy>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <cstdint>
#include <filesystem>

#include "Fakes.h"
#include "LoopbackServer.h"
#include "TempDir.h"
#include "app/MainWindow.h"
#include "fetch/CurlFetcher.h"
#include "lists/TagList.h"
#include "qt/QtServices.h"

using namespace orvanel;
using namespace orvanel::testing;

namespace {

// A window with fake dialogs and settings, a real fetcher and a real event loop.
struct Harness {
  Harness() {
    fetcher = MakeCurlFetcher();
    fetcher->SetNotify([this] { pump.Wake(); });
    services.boxes = &boxes;
    services.dialog = &dialog;
    services.settings = &settings;
    services.clipboard = &clipboard;
    services.shell = &shell;
    services.pump = &pump;
    services.fetcher = fetcher.get();
    services.program_folder = folder.path();
  }
  MainWindow& Window() {
    if (!window) {
      window = std::make_unique<MainWindow>(services);
      window->SetExitWhileBusy([this] { ++exits; });
    }
    return *window;
  }
  template <typename T>
  T* Find(const char* name) {
    return Window().findChild<T*>(QString::fromLatin1(name));
  }
  TempDir folder;
  FakeBoxes boxes;
  FakeFileDialog dialog;
  FakeSettings settings;
  FakeClipboard clipboard;
  FakeShell shell;
  QtEventPump pump;
  std::unique_ptr<Fetcher> fetcher;
  WindowServices services;
  std::unique_ptr<MainWindow> window;
  int exits = 0;
};

}  // namespace

class MainWindowTest : public QObject {
  Q_OBJECT
 private slots:
  void firstStartHasTheDefaults() {
    Harness h;
    h.Window().StartUp();
    QCOMPARE(h.Window().windowTitle(), QStringLiteral("Orvanel"));
    QCOMPARE(h.Window().size(), QSize(1064, 456));
    QVERIFY(h.Find<QRadioButton>("Option1")->isChecked());
    QCOMPARE(h.settings.values["Option"], std::string("1"));
    QCOMPARE(h.Window().Tags().Count(), std::size_t{2});
    QCOMPARE(h.Window().Tags().Text(1), std::string("<title></title>"));
    QCOMPARE(h.Window().Addresses().Header(1), std::string(" Website(s)"));
    QCOMPARE(h.Window().Addresses().ColumnWidth(1), 7000);
    QCOMPARE(h.Window().Results().Header(1), std::string("Results"));
    QCOMPARE(h.Window().Tags().ColumnWidth(1), 5000);
    QCOMPARE(h.settings.values["Snapshot"], std::string());
    QVERIFY(h.boxes.shown.empty());
    QCOMPARE(h.Find<QProgressBar>("ProgressBar1")->format(), QStringLiteral("Progress Bar"));
  }

  void controlsStandWhereTheLayoutSays_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("geometry");
    QTest::addRow("start") << "PushButton17"
                           << "Start Extraction" << QRect(536, 8, 520, 27);
    QTest::addRow("text") << "PushButton8"
                          << "Save Results As Text File" << QRect(536, 350, 256, 27);
    QTest::addRow("excel") << "PushButton13"
                           << "Save Results As Excel File" << QRect(800, 350, 256, 27);
    QTest::addRow("clear results") << "PushButton9"
                                   << "Clear Results" << QRect(800, 385, 256, 27);
    QTest::addRow("copy") << "PushButton1"
                          << "Copy Results To Clipboard" << QRect(536, 385, 256, 27);
    QTest::addRow("add url") << "PushButton3"
                             << "Add URL" << QRect(8, 127, 256, 27);
    QTest::addRow("load") << "PushButton5"
                          << "Load List Of URLs From Text File" << QRect(272, 127, 256, 27);
    QTest::addRow("samples") << "PushButton15"
                             << "Load Sample/Example Files" << QRect(272, 160, 256, 27);
    QTest::addRow("clear list") << "PushButton16"
                                << "Clear List" << QRect(8, 160, 256, 27);
    QTest::addRow("add tag") << "PushButton11"
                             << "Add Tag" << QRect(16, 112, 95, 27);
    QTest::addRow("delete tag") << "PushButton12"
                                << "Delete Tag" << QRect(120, 112, 103, 27);
    QTest::addRow("clear tags") << "PushButton10"
                                << "Clear" << QRect(232, 112, 87, 27);
    QTest::addRow("help") << "PushButton14"
                          << "Help" << QRect(328, 112, 87, 27);
  }
  void controlsStandWhereTheLayoutSays() {
    QFETCH(QString, name);
    QFETCH(QString, caption);
    QFETCH(QRect, geometry);
    Harness h;
    auto* button = h.Window().findChild<QPushButton*>(name);
    QVERIFY(button);
    QCOMPARE(button->text(), caption);
    QCOMPARE(button->geometry(), geometry);
    QCOMPARE(button->font().pointSizeF(), 11.25);
    QVERIFY(button->font().bold());
  }

  void listsFramesAndHints() {
    Harness h;
    QCOMPARE(h.Find<QWidget>("ListView1")->geometry(), QRect(8, 8, 520, 113));
    QCOMPARE(h.Find<QWidget>("ListView2")->geometry(), QRect(536, 43, 520, 300));
    QCOMPARE(h.Find<QWidget>("ListView3")->geometry(), QRect(16, 20, 400, 86));
    QCOMPARE(h.Find<QGroupBox>("Frame2")->geometry(), QRect(8, 192, 520, 256));
    QCOMPARE(h.Find<QGroupBox>("Frame1")->geometry(), QRect(40, 88, 433, 150));
    QCOMPARE(h.Find<QRadioButton>("Option3")->text(), QStringLiteral("Extract Only These Tags:"));
    QCOMPARE(h.Find<QWidget>("ListView2")->toolTip(),
             QStringLiteral("Move | line to right and out of window to reveal full names."));
    QCOMPARE(h.Find<QWidget>("ListView1")->toolTip(),
             QStringLiteral("Double-click item to remove it. Move | line to right and out of "
                            "window to reveal full names."));
    QCOMPARE(h.Window().font().pointSizeF(), 9.0);
  }

  // Tab leaves a list at once (not cell by cell) and walks the controls in the window's
  // tab order; Shift+Tab walks it back.
  void tabWalksTheControlsInTheirOrder() {
    Harness h;
    h.Window().StartUp();
    for (int i = 0; i < 50; ++i) h.Window().Addresses().Add("address " + std::to_string(i));
    for (int i = 0; i < 3; ++i) h.Window().Results().Add("row " + std::to_string(i));
    h.Window().show();
    QApplication::setActiveWindow(&h.Window());
    QVERIFY(QTest::qWaitForWindowActive(&h.Window()));
    auto* first = h.Find<QTableView>("ListView1");
    first->setFocus();
    first->setCurrentIndex(first->model()->index(0, 0));
    QStringList forward;
    for (int i = 0; i < 17; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      forward << QApplication::focusWidget()->objectName();
    }
    const QStringList expected = {"ListView2",    "PushButton8",  "PushButton13", "PushButton9",
                                  "PushButton3",  "PushButton5",  "PushButton15", "PushButton16",
                                  "PushButton17", "Option1",      "ListView3",    "PushButton11",
                                  "PushButton12", "PushButton10", "PushButton14", "PushButton1",
                                  "ListView1"};
    QCOMPARE(forward, expected);
    QStringList backward;
    for (int i = 0; i < 3; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Backtab);
      backward << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(backward, (QStringList{"PushButton1", "PushButton14", "PushButton10"}));
  }

  void optionSettingsAreRestoredAndWritten_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<int>("selected");
    QTest::addRow("1") << "1" << 1;
    QTest::addRow("2") << "2" << 2;
    QTest::addRow("3") << "3" << 3;
    QTest::addRow("4") << "4" << 0;
    QTest::addRow("blank 1") << " 1" << 0;
    QTest::addRow("empty") << "" << 0;
  }
  void optionSettingsAreRestoredAndWritten() {
    QFETCH(QString, stored);
    QFETCH(int, selected);
    Harness h;
    h.settings.values["Option"] = stored.toStdString();
    h.Window().StartUp();
    for (int i = 1; i <= 3; ++i) {
      QCOMPARE(h.Find<QRadioButton>(qPrintable(QStringLiteral("Option%1").arg(i)))->isChecked(),
               i == selected);
    }
    QCOMPARE(h.settings.values["Option"], stored.toStdString());
    const auto option_saves =
        std::count_if(h.settings.saves.begin(), h.settings.saves.end(),
                      [](const auto& save) { return save.first == "Option"; });
    QCOMPARE(option_saves, selected ? 1 : 0);  // restoring an option clicks it
    QTest::mouseClick(h.Find<QRadioButton>("Option3"), Qt::LeftButton);
    QCOMPARE(h.settings.values["Option"], std::string("3"));
  }

  void tagListSurvivesARestart() {
    Harness h;
    h.settings.values["Tags"] = "a|Dravikton||Dravikton| b |Dravikton|a";
    h.Window().StartUp();
    QCOMPARE(h.Window().Tags().Count(), std::size_t{3});
    h.Window().Tags().Add("x|Dravikton|y");
    h.Window().close();
    QCOMPARE(h.settings.values["Tags"],
             std::string("a|Dravikton| b |Dravikton|a|Dravikton|x|Dravikton|y|Dravikton|"));
    QCOMPARE(h.exits, 0);
  }

  void handPointerFileAndSkinAreUsedWhenPresent() {
    Harness h;
    // A 16 x 16 cursor file, 32 bits per pixel.
    std::string cur("\0\0\2\0\1\0", 6);
    const std::uint32_t bitmap = 40 + 16 * 16 * 4 + 16 * 4;
    const unsigned char entry[16] = {16,
                                     16,
                                     0,
                                     0,
                                     1,
                                     0,
                                     1,
                                     0,
                                     static_cast<unsigned char>(bitmap & 0xff),
                                     static_cast<unsigned char>(bitmap >> 8),
                                     0,
                                     0,
                                     22,
                                     0,
                                     0,
                                     0};
    cur.append(reinterpret_cast<const char*>(entry), 16);
    const unsigned char info[40] = {40, 0, 0, 0, 16, 0, 0, 0, 32, 0, 0, 0, 1, 0, 32, 0};
    cur.append(reinterpret_cast<const char*>(info), 40);
    cur.append(16 * 16 * 4, '\x7f');
    cur.append(16 * 4, '\0');
    h.folder.File("HAND-M.CUR", cur);
    std::filesystem::create_directory(h.folder.path() + "/x");
    h.folder.File("x/o.cjs", "QPushButton { color: rgb(1, 2, 3); }");
    h.Window().StartUp();
    QVERIFY(h.boxes.shown.empty());
    h.Window().SetPointer(Pointer::kHand);
    QCOMPARE(h.Window().cursor().shape(), Qt::BitmapCursor);
    QVERIFY(h.Window().styleSheet().contains(QStringLiteral("rgb(1, 2, 3)")));
    QCOMPARE(h.Window().palette().color(QPalette::Window),
             QApplication::palette().color(QPalette::Button));
  }

  void anUnreadablePointerFileIsReportedAtStep106() {
    Harness h;
    h.folder.File("HAND-M.CUR", "not a cursor");
    h.Window().StartUp();
    QCOMPARE(h.boxes.shown.size(), std::size_t{1});
    QVERIFY(h.boxes.shown[0].text.find("in Quorlin2021/08/31.Form1.Form_Load at line 106") !=
            std::string::npos);
    QCOMPARE(h.Window().Tags().Count(), std::size_t{2});  // start-up went on
    h.Window().SetPointer(Pointer::kHand);
    QCOMPARE(h.Window().cursor().shape(), Qt::PointingHandCursor);
    QCOMPARE(h.Window().palette().color(QPalette::Window), QColor(Qt::white));  // no skin
  }

  void pointerFollowsTheHoverRules() {
    Harness h;
    h.Window().StartUp();
    h.Window().show();
    auto move = [](QWidget* w) {
      QMouseEvent event(QEvent::MouseMove, QPointF(5, 5), w->mapToGlobal(QPointF(5, 5)),
                        Qt::NoButton, Qt::NoButton, Qt::NoModifier);
      QApplication::sendEvent(w, &event);
    };
    auto* button = h.Find<QPushButton>("PushButton9");
    auto* results = h.Find<QTableView>("ListView2");
    move(button);
    QCOMPARE(h.Window().GetPointer(), Pointer::kHand);
    QCOMPARE(h.Window().cursor().shape(), Qt::PointingHandCursor);  // no HAND-M.CUR here
    move(h.Find<QWidget>("Frame2"));
    QCOMPARE(h.Window().GetPointer(), Pointer::kDefault);
    move(button);
    move(results->viewport());
    QCOMPARE(h.Window().GetPointer(), Pointer::kDefault);
    h.Window().SetPointer(Pointer::kBusy);
    for (QWidget* w :
         {static_cast<QWidget*>(button), results->viewport(), h.Find<QWidget>("Option1")}) {
      move(w);
      QCOMPARE(h.Window().GetPointer(), Pointer::kBusy);
    }
  }

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
    QVERIFY(QTest::qWaitForWindowExposed(&h.Window()));
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
    QTest::qWait(250);
    QVERIFY2(counter.paints >= 1, "drawn once more after the run");
    auto* view = h.Find<QTableView>("ListView2");
    const QRect last = view->visualRect(view->model()->index(299, 0));
    QVERIFY(view->viewport()->rect().intersects(last));
  }

  void closingDuringARunSavesTagsAndEndsAtOnce() {
    LoopbackServer server;
    server.Route("/slow", [](auto&, auto& c) {
      if (c.Sleep(5000)) c.Respond(200, "<title>late</title>");
    });
    Harness h;
    h.Window().StartUp();
    h.Window().Addresses().Add(server.Url("/slow"));
    QTimer::singleShot(200, &h.Window(), [&] {
      QVERIFY(h.Window().IsExtracting());
      QVERIFY(h.Window().IsBusy());
      h.Window().close();
      // A real program ends here; the test lets the run finish on its own.
    });
    QElapsedTimer timer;
    timer.start();
    QTest::mouseClick(h.Find<QPushButton>("PushButton17"), Qt::LeftButton);
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

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
