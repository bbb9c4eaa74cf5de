#include "app/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QThread>
#include <algorithm>
#include <cmath>

#include "app/PaintThrottle.h"
#include "engine/Address.h"
#include "engine/ResultsTable.h"
#include "export/ClipboardExport.h"
#include "export/SpreadsheetExport.h"
#include "export/TextExport.h"
#include "lists/AddressList.h"
#include "lists/Samples.h"
#include "lists/TagList.h"
#include "qt/QtListView.h"
#include "shell/ErrorReport.h"

namespace orvanel {
namespace {

// The option buttons' modes, in the order of the buttons and of their codes.
constexpr Mode kModes[] = {Mode::kEntireHeadTag, Mode::kTitleAndMetaTags, Mode::kOnlyListedTags};

std::size_t ModeIndex(Mode mode) {
  return static_cast<std::size_t>(std::find(std::begin(kModes), std::end(kModes), mode) -
                                  std::begin(kModes));
}

// Counts a command that may wait in the event loop, so that a close request during it
// ends the program at once.
class BusyScope {
 public:
  explicit BusyScope(int& count) : count_(count) { ++count_; }
  ~BusyScope() { --count_; }
  BusyScope(const BusyScope&) = delete;
  BusyScope& operator=(const BusyScope&) = delete;

 private:
  int& count_;
};

}  // namespace

const char* OptionCode(Mode mode) {
  constexpr const char* kCodes[] = {"1", "2", "3"};
  return kCodes[ModeIndex(mode)];
}

MainWindow::MainWindow(WindowServices services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Form1"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(WindowSize());
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setMouseTracking(true);
  controls_ = WindowControls::Build(this, addresses_, results_, tags_);
  ConnectCommands();
  run_ = std::make_unique<ExtractionRun>(
      RunContext{addresses_, results_, tags_, *this, *services_.pump, *services_.boxes,
                 *services_.fetcher, [this] { return SelectedMode(); }});
  PlaceOnScreen();
}

MainWindow::~MainWindow() {
  // The list widgets read the lists, which are members and go first: the widgets are
  // taken down while the lists are still there (a shown window would otherwise be
  // hidden, and its headers measured, by the base class after they are gone).
  delete controls_.addresses;
  delete controls_.results;
  delete controls_.tags;
}

void MainWindow::PlaceOnScreen() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  if (!screen) return;
  const QRect area = screen->availableGeometry();
  const QPoint centred = area.center() - QPoint(width() / 2, height() / 2);
  move(std::max(centred.x(), area.left()), std::max(centred.y(), area.top()));
}

void MainWindow::ConnectCommands() {
  const WindowControls& c = controls_;
  const std::pair<QPushButton*, void (MainWindow::*)()> commands[] = {
      {c.copy_results, &MainWindow::CopyResultsToClipboard},
      {c.add_url, &MainWindow::AddUrl},
      {c.load_list, &MainWindow::LoadUrlList},
      {c.save_text, &MainWindow::SaveResultsAsText},
      {c.clear_results, &MainWindow::ClearResults},
      {c.clear_tags, &MainWindow::ClearTags},
      {c.add_tag, &MainWindow::AddTag},
      {c.delete_tag, &MainWindow::DeleteTag},
      {c.save_workbook, &MainWindow::SaveResultsAsWorkbook},
      {c.tag_help, &MainWindow::ShowTagHelp},
      {c.load_samples, &MainWindow::LoadSampleFiles},
      {c.clear_list, &MainWindow::ClearUrlList},
      {c.start, &MainWindow::StartExtraction},
  };
  for (const auto& [button, command] : commands) {
    connect(button, &QPushButton::clicked, this, command);
  }
  for (std::size_t k = 0; k < std::size(kModes); ++k) {
    connect(c.options[k], &QRadioButton::clicked, this, [this, k] { ChooseOption(kModes[k]); });
  }
  for (ListWidget* list : {c.addresses, c.results, c.tags}) {
    connect(list, &ListWidget::pointerMoved, this, &MainWindow::OnPointerOverArea);
    connect(list, &ListWidget::removeRequested, this,
            [this, list] { RemoveSelectedItem(list->listModel()->list(), *this); });
  }
}

std::optional<Mode> MainWindow::SelectedMode() const {
  for (std::size_t k = 0; k < std::size(kModes); ++k) {
    if (controls_.options[k]->isChecked()) return kModes[k];
  }
  return std::nullopt;
}

void MainWindow::SetPointer(Pointer pointer) {
  pointer_ = pointer;
  switch (pointer) {
    case Pointer::kDefault:
      setCursor(Qt::ArrowCursor);
      break;
    case Pointer::kBusy:
      setCursor(Qt::WaitCursor);
      break;
    case Pointer::kHand:
      setCursor(hand_cursor_ ? *hand_cursor_ : QCursor(Qt::PointingHandCursor));
      break;
  }
}

void MainWindow::SetProgressValue(double percent) {
  controls_.progress->setValue(static_cast<int>(std::lround(percent)));
}

void MainWindow::SetProgressText(const std::string& text) {
  controls_.progress->setFormat(QString::fromUtf8(text));
}

void MainWindow::OnPointerOverButton() {
  if (!IsBusy()) SetPointer(Pointer::kHand);
}

void MainWindow::OnPointerOverArea() {
  if (!IsBusy()) SetPointer(Pointer::kDefault);
}

bool MainWindow::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::MouseMove) {
    if (qobject_cast<QPushButton*>(watched)) {
      OnPointerOverButton();
      // A button ignores moves without a pressed mouse button, which would hand them on to
      // the window behind it and reset the pointer there.
      if (static_cast<QMouseEvent*>(event)->buttons() == Qt::NoButton) return true;
    } else {
      OnPointerOverArea();
    }
  }
  return QWidget::eventFilter(watched, event);
}

void MainWindow::mouseMoveEvent(QMouseEvent* event) {
  OnPointerOverArea();
  QWidget::mouseMoveEvent(event);
}

void MainWindow::ChooseOption(Mode mode) {
  try {
    services_.settings->Save(kOptionKey, OptionCode(mode));
  } catch (const std::exception& e) {
    // The option handlers have no failure report of their own; say it plainly once.
    services_.boxes->Message(std::string("The chosen option could not be saved: ") + e.what(),
                             BoxStyle::kOk);
  }
}

void MainWindow::CopyResultsToClipboard() {
  BusyScope scope(busy_commands_);
  orvanel::CopyResultsToClipboard(results_, *services_.clipboard, *services_.boxes,
                                  *services_.pump);
}
void MainWindow::AddUrl() { orvanel::AddUrl(addresses_, *services_.boxes); }
void MainWindow::LoadUrlList() {
  BusyScope scope(busy_commands_);
  LoadListFromTextFile(addresses_, *services_.boxes, *services_.dialog, *services_.pump);
}
void MainWindow::SaveResultsAsText() {
  BusyScope scope(busy_commands_);
  SaveResultsAsTextFile(results_, *this, *services_.boxes, *services_.dialog, *services_.pump);
}
void MainWindow::ClearResults() { orvanel::ClearResults(results_, *services_.boxes); }
void MainWindow::ClearTags() { orvanel::ClearTags(tags_, *services_.boxes); }
void MainWindow::AddTag() { orvanel::AddTag(tags_, *services_.boxes); }
void MainWindow::DeleteTag() { orvanel::DeleteTag(tags_, *services_.boxes); }
void MainWindow::SaveResultsAsWorkbook() {
  BusyScope scope(busy_commands_);
  SaveResultsAsExcelFile(results_, *services_.spreadsheet, *this, *services_.boxes,
                         *services_.pump);
}
void MainWindow::ShowTagHelp() { orvanel::ShowTagHelp(*services_.boxes); }
void MainWindow::LoadSampleFiles() {
  orvanel::LoadSampleFiles(addresses_, *services_.settings, *services_.boxes, *services_.shell,
                           services_.program_folder);
}
void MainWindow::ClearUrlList() { ClearList(addresses_, *this, *services_.boxes); }
void MainWindow::StartExtraction() {
  BusyScope scope(busy_commands_);
  PaintThrottle throttle(this, kRunRedrawIntervalMs);
  run_->Start();
}

void MainWindow::ApplySkin() {
  const QString path =
      QString::fromStdString(services_.program_folder) + QStringLiteral("/x/o.cjs");
  if (!IsExistingFile(path.toStdString())) return;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) throw Failure("Cannot read the skin " + path.toStdString());
  const QString style = QString::fromUtf8(file.readAll());
  const QColor face = QApplication::palette().color(QPalette::Button);
  const WindowControls& c = controls_;
  for (QWidget* w : std::initializer_list<QWidget*>{this, c.tags_frame, c.options_frame,
                                                    c.options[0], c.options[1], c.options[2]}) {
    QPalette palette = w->palette();
    palette.setColor(QPalette::Window, face);
    w->setPalette(palette);
  }
  setStyleSheet(style);
}

void MainWindow::StartUp() {
  StepRunner runner(*services_.boxes, Command::kStartUp);
  SettingsStore& settings = *services_.settings;
  const std::string folder = services_.program_folder;
  runner.Step(100, [&] { ApplySkin(); });
  const std::string hand = folder + "/HAND-M.CUR";
  if (runner.Test(104, [&] { return PathExists(hand); })) {
    runner.Step(106, [&] {
      QPixmap image(QString::fromStdString(hand));
      if (image.isNull()) throw Failure("Invalid picture: " + hand);
      hand_cursor_ = QCursor(image, 0, 0);
    });
  }
  if (runner.Test(108, [&] { return settings.Get(kSnapshotKey, "").empty(); })) {
    runner.Step(108, [&] { RecordSamplesSnapshot(settings, folder); });
  }
  if (runner.Test(124, [&] { return settings.Get(kSnapshotKey, "").empty(); })) {
    runner.Step(124, [&] { RecordSamplesSnapshot(settings, folder); });
  }
  runner.Step(126, [&] { setWindowTitle(QString::fromUtf8(kProductName)); });
  runner.Step(126, [&] { setWindowIcon(ProgramIcon()); });
  // The application title is the product name cut back at blanks to at most 40 characters.
  // It has no blank to cut at, so it is the title whole, and the boxes take it as their
  // caption (kProductName). It is not made Qt's display name: Qt would append that to every
  // window title ("Save — Orvanel"), and the boxes' titles are exact.
  static_assert(std::string_view(kProductName).find(' ') == std::string_view::npos &&
                std::string_view(kProductName).size() <= 40);
  // Steps 128 to 138: each code in turn, read afresh, selects its button when it matches.
  for (std::size_t k = 0; k < std::size(kModes); ++k) {
    const long step = 128 + 4 * static_cast<long>(k);
    const Mode mode = kModes[k];
    if (runner.Test(step, [&] {
          return settings.Get(kOptionKey, kDefaultOptionCode) == OptionCode(mode);
        })) {
      runner.Step(step + 2, [&] {
        controls_.options[k]->setChecked(true);
        ChooseOption(mode);
      });
      break;
    }
  }
  runner.Step(140, [&] { addresses_.AddColumn(" Website(s)"); });
  runner.Step(142, [&] { addresses_.SetColumnWidth(1, 7000); });
  runner.Step(144, [&] { results_.AddColumn("Results"); });
  runner.Step(146, [&] { results_.SetColumnWidth(1, 7000); });
  runner.Step(148, [&] { tags_.AddColumn("Tag(s)"); });
  runner.Step(150, [&] { tags_.SetColumnWidth(1, 5000); });
  if (runner.Test(152, [&] { return settings.Get(kTagsKey, "").empty(); })) {
    runner.Step(154, [&] { tags_.Add(DefaultTags()[0]); });
    runner.Step(156, [&] { tags_.Add(DefaultTags()[1]); });
    return;
  }
  std::vector<std::string> entries;
  runner.Step(158, [&] { entries = TagsFromStorage(settings.Get(kTagsKey, "")); });
  for (const auto& entry : entries) runner.Step(164, [&] { tags_.Add(entry); });
}

void MainWindow::SaveTagsOnClose() { SaveTagsOnClose(*services_.boxes); }

void MainWindow::SaveTagsOnClose(MessageBoxes& report) {
  StepRunner runner(report, Command::kClose);
  std::string stored;
  std::size_t count = 0;
  runner.Step(102, [&] { count = tags_.Count(); });
  for (std::size_t i = 1; i <= count; ++i) {
    runner.Step(104, [&] { stored += tags_.Text(i) + kTagSeparator; });
  }
  runner.Step(108, [&] { services_.settings->Save(kTagsKey, stored); });
}

void MainWindow::SaveUnattended() {
  UnattendedBoxes report;
  SaveTagsOnClose(report);
}

void MainWindow::CloseFromOutside() {
  if (!closing_from_outside_) {
    closing_from_outside_ = true;
    closing_ = true;
    SaveUnattended();
  }
  // A box, a dialog or a command may be waiting in its own event loop, and with it the
  // window's own close; none of them may keep the program alive.
  if (exit_now_) exit_now_();
  QApplication::quit();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (closing_) {
    event->accept();
    return;
  }
  closing_ = true;
  SaveTagsOnClose();
  event->accept();
  // A command waiting in the event loop (a run waiting for a page) would otherwise go on
  // after the window is gone: end the program here, as a closed window means.
  // The same holds for a box or dialog that is open (its own event loop is running).
  const bool waiting = busy_commands_ > 0 || QThread::currentThread()->loopLevel() > 1;
  if (waiting && exit_now_) exit_now_();
  QApplication::quit();
}

}  // namespace orvanel
