// The window's buttons and its closing, on the real window with fake services.
#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <map>

#include "WindowHarness.h"

using namespace orvanel;
using namespace orvanel::testing;

namespace {

// A spreadsheet application that is not installed.
class NoSpreadsheet : public SpreadsheetApp {
 public:
  bool IsInstalled() override { return false; }
  std::unique_ptr<Workbook> NewWorkbook() override { throw Failure("no spreadsheet here"); }
};

// What a command did through the fakes: its boxes, prompts, dialogs, clipboard and shell.
std::string Trace(const Harness& h) {
  std::string trace;
  for (const auto& shown : h.boxes.shown) trace += "box:" + shown.text + "\n";
  for (const auto& prompt : h.boxes.prompts) trace += "prompt:" + prompt + "\n";
  for (const auto& call : h.dialog.calls) trace += call.kind + ":" + call.title + "\n";
  if (h.clipboard.cleared || h.clipboard.set_attempts > 0) trace += "clipboard\n";
  for (const auto& opened : h.shell.opened) trace += "shell:" + opened + "\n";
  return trace;
}

}  // namespace

class WindowCommandsTest : public QObject {
  Q_OBJECT
 private slots:
  // Each button runs its own command, and no two run the same one.
  void eachButtonRunsItsOwnCommand() {
    const std::map<std::string, std::string> expected = {
        {"PushButton1", "clipboard"},
        {"PushButton3", "prompt:Enter website address to add:"},
        {"PushButton5", "open:Add File(s)"},
        {"PushButton8", "save:Save"},
        {"PushButton9", "addresses 1, results 0, tags 2"},
        {"PushButton10", "addresses 1, results 1, tags 0"},
        {"PushButton11", "prompt:Enter tag:"},
        {"PushButton12", "PushButton12_Click"},
        {"PushButton13", "Excel is not installed"},
        {"PushButton14", "If list entry is a tag"},
        {"PushButton15", "open the folder where these sample files are stored"},
        {"PushButton16", "addresses 0, results 1, tags 2"},
        {"PushButton17", "box:Done."},
    };
    std::map<std::string, std::string> by_trace;
    for (const auto& [name, marker] : expected) {
      Harness h;
      NoSpreadsheet spreadsheet;
      h.services.spreadsheet = &spreadsheet;
      h.Window().StartUp();
      h.Window().Addresses().Add("http://127.0.0.1:1/");
      h.Window().Results().Add("a result");
      QTest::mouseClick(h.Find<QPushButton>(name.c_str()), Qt::LeftButton);
      const std::string trace = Trace(h) + "addresses " +
                                std::to_string(h.Window().Addresses().Count()) + ", results " +
                                std::to_string(h.Window().Results().Count()) + ", tags " +
                                std::to_string(h.Window().Tags().Count());
      QVERIFY2(trace.find(marker) != std::string::npos, (name + (" did: " + trace)).c_str());
      QVERIFY2(by_trace.emplace(trace, name).second, name.c_str());
    }
  }

  // A window closed twice (the program told to end, then its window closing as it goes)
  // stores the tags once.
  void aSecondCloseStoresNothingMore() {
    Harness h;
    h.Window().StartUp();
    h.Window().close();
    h.settings.fail_saves = true;  // a second store would fail, and say so
    QCloseEvent again;
    QApplication::sendEvent(&h.Window(), &again);
    QVERIFY(again.isAccepted());
    QCOMPARE(std::count_if(h.settings.saves.begin(), h.settings.saves.end(),
                           [](const auto& save) { return save.first == "Tags"; }),
             1);
    QVERIFY(h.boxes.shown.empty());
  }

  // Closed while a box's own event loop runs, the program ends at once: the box would
  // otherwise keep it alive with no window.
  void closingWhileABoxIsOpenEndsTheProgram() {
    Harness h;
    h.Window().StartUp();
    QEventLoop program, box;  // the program's own loop, and a box's within it
    QTimer::singleShot(0, &program, [&] {
      QTimer::singleShot(0, &box, [&] {
        h.Window().close();
        box.quit();
      });
      box.exec();
      program.quit();
    });
    program.exec();
    QCOMPARE(h.exits, 1);
  }
};

QTEST_MAIN(WindowCommandsTest)
#include "WindowCommandsTest.moc"
