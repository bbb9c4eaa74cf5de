// The main window's layout, start-up, settings and pointer, on the real window.
#include <QApplication>
#include <QGroupBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QTableView>
#include <QTest>
#include <cstdint>
#include <filesystem>

#include "WindowHarness.h"

using namespace orvanel;
using namespace orvanel::testing;

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
    QVERIFY(!h.Window().windowIcon().isNull());
  }

  // The window keeps its size, and starts wholly on a screen smaller than it: its top
  // left corner, where its title and first controls are, is never off the screen.
  void theWindowIsFixedAndStartsOnTheScreen() {
    Harness h;
    QCOMPARE(h.Window().minimumSize(), QSize(1064, 456));
    QCOMPARE(h.Window().maximumSize(), QSize(1064, 456));
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY2(area.width() < 1064, "the offscreen screen is smaller than the window");
    QCOMPARE(h.Window().pos().x(), area.left());
    QVERIFY(h.Window().pos().y() >= area.top());
  }

  // The progress text is shown as it is, a file name's "%" included; the value is the
  // nearest whole percent.
  void theProgressShowsTextAsItIsAndTheNearestPercent() {
    Harness h;
    auto* progress = h.Find<QProgressBar>("ProgressBar1");
    h.Window().SetProgressText("Processing: 50%p off%v.htm");
    h.Window().SetProgressValue(66.7);
    QCOMPARE(progress->text(), QStringLiteral("Processing: 50%p off%v.htm"));
    QCOMPARE(progress->value(), 67);
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
    for (int k = 0; k < 3; ++k) {
      const QRect expected(16, k == 0 ? 20 : k == 1 ? 43 : 67, 178, 17);
      const std::string name = "Option" + std::to_string(k + 1);
      QCOMPARE(h.Find<QRadioButton>(name.c_str())->geometry(), expected);
    }
    auto* progress = h.Find<QProgressBar>("ProgressBar1");
    QCOMPARE(progress->alignment(), Qt::AlignCenter);
    QCOMPARE(progress->focusPolicy(), Qt::NoFocus);  // out of the tab order
    QCOMPARE(h.Find<QWidget>("ListView2")->toolTip(),
             QStringLiteral("Move | line to right and out of window to reveal full names."));
    for (const char* list : {"ListView1", "ListView3"}) {
      QCOMPARE(h.Find<QWidget>(list)->toolTip(),
               QStringLiteral("Double-click item to remove it. Move | line to right and out of "
                              "window to reveal full names."));
    }
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
    QVERIFY(QTest::qWaitForWindowActive(&h.Window(), 60'000));
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
    QCOMPARE(h.Window().cursor().hotSpot(), QPoint(0, 0));  // the hand's fingertip
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

  // Moves of the mouse as the window system sends them, no button pressed: over a button
  // the pointer is the hand, over the window's own ground the arrow again.
  void thePointerFollowsTheMouseItself() {
    Harness h;
    h.Window().StartUp();
    h.Window().show();
    QVERIFY(QTest::qWaitForWindowExposed(&h.Window()));
    auto* button = h.Find<QPushButton>("PushButton9");
    QTest::mouseMove(button, QPoint(5, 5));
    QTRY_COMPARE(h.Window().GetPointer(), Pointer::kHand);
    // Right of the address list's buttons, above the results: no control there.
    QTest::mouseMove(&h.Window(), QPoint(h.Find<QWidget>("PushButton17")->x() - 4, 4));
    QTRY_COMPARE(h.Window().GetPointer(), Pointer::kDefault);
  }

  // A failure while the stored option is read names the step of the code it was compared
  // with: 128, 132 or 136.
  void aFailingOptionReadIsReportedAtItsStep_data() {
    QTest::addColumn<int>("failing_read");
    QTest::addColumn<QString>("step");
    QTest::addRow("first") << 1 << "at line 128";
    QTest::addRow("second") << 2 << "at line 132";
    QTest::addRow("third") << 3 << "at line 136";
  }
  void aFailingOptionReadIsReportedAtItsStep() {
    QFETCH(int, failing_read);
    QFETCH(QString, step);
    // The settings fail the given read of the option, and read "3" otherwise.
    class FailingRead : public FakeSettings {
     public:
      explicit FailingRead(int failing) : failing_(failing) {}
      std::string Get(const std::string& key, const std::string& fallback) override {
        if (key == kOptionKey && ++option_reads_ == failing_) throw Failure("unreadable");
        return key == kOptionKey ? "3" : FakeSettings::Get(key, fallback);
      }

     private:
      int failing_;
      int option_reads_ = 0;
    } settings(failing_read);
    Harness h;
    h.services.settings = &settings;
    h.Window().StartUp();
    QVERIFY(!h.boxes.shown.empty());
    QVERIFY2(h.boxes.shown[0].text.find(step.toStdString()) != std::string::npos,
             h.boxes.shown[0].text.c_str());
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
    QCOMPARE(h.Window().cursor().shape(), Qt::ArrowCursor);
    h.Window().SetPointer(Pointer::kBusy);
    QCOMPARE(h.Window().cursor().shape(), Qt::WaitCursor);
    for (QWidget* w :
         {static_cast<QWidget*>(button), results->viewport(), h.Find<QWidget>("Option1")}) {
      move(w);
      QCOMPARE(h.Window().GetPointer(), Pointer::kBusy);
    }
  }
};

QTEST_MAIN(MainWindowTest)
#include "MainWindowTest.moc"
