#include "app/MainWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QElapsedTimer>
#include <QEvent>
#include <QFile>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <cmath>

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

int Px(int twips) {
  return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

constexpr const char* kListHint =
    "Double-click item to remove it. Move | line to right and out of window to reveal full names.";
constexpr const char* kResultsHint = "Move | line to right and out of window to reveal full names.";

// A control's name on the form it was laid out from, and its place in twips.
void Place(QWidget* control, const char* name, int left, int top, int width, int height) {
  control->setObjectName(QString::fromUtf8(name));
  control->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

QFont WindowFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(9);
  font.setBold(true);
  return font;
}

QFont ButtonFont() {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(11.25);
  font.setBold(true);
  return font;
}

// The program's own icon: a white "O" on a dark blue rounded square.
QIcon ProgramIcon() {
  QPixmap pixmap(64, 64);
  pixmap.fill(Qt::transparent);
  QPainter painter(&pixmap);
  painter.setRenderHint(QPainter::Antialiasing);
  painter.setBrush(QColor(0x1f, 0x3a, 0x68));
  painter.setPen(Qt::NoPen);
  painter.drawRoundedRect(2, 2, 60, 60, 12, 12);
  painter.setPen(QPen(Qt::white, 8));
  painter.setBrush(Qt::NoBrush);
  painter.drawEllipse(16, 14, 32, 36);
  painter.end();
  return QIcon(pixmap);
}

}  // namespace

MainWindow::MainWindow(WindowServices services, QWidget* parent)
    : QWidget(parent), services_(std::move(services)) {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(QStringLiteral("Form1"));
  setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint |
                 Qt::MSWindowsFixedSizeDialogHint);
  setFixedSize(Px(15960), Px(6840));
  setFont(WindowFont());
  setAutoFillBackground(true);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, Qt::white);
  setPalette(palette);
  setMouseTracking(true);
  BuildControls();
  run_ = std::make_unique<ExtractionRun>(
      RunContext{addresses_, results_, tags_, *this, *services_.pump, *services_.boxes,
                 *services_.fetcher, [this] { return SelectedMode(); }});
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

MainWindow::~MainWindow() {
  // The list widgets read the lists, which are members and go first: the widgets are
  // taken down while the lists are still there (a shown window would otherwise be
  // hidden, and its headers measured, by the base class after they are gone).
  delete addresses_view_;
  delete results_view_;
  delete tags_view_;
}

QPushButton* MainWindow::MakeButton(const char* name, const char* caption, int left, int top,
                                    int width, int height, QWidget* parent) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  Place(button, name, left, top, width, height);
  button->setFont(ButtonFont());
  button->setMouseTracking(true);
  button->installEventFilter(this);
  return button;
}

void MainWindow::BuildControls() {
  addresses_view_ = new ListWidget(addresses_, false, this);
  Place(addresses_view_, "ListView1", 120, 120, 7800, 1695);
  addresses_view_->setToolTip(QString::fromUtf8(kListHint));

  results_view_ = new ListWidget(results_, true, this);
  Place(results_view_, "ListView2", 8040, 645, 7800, 4500);
  results_view_->setToolTip(QString::fromUtf8(kResultsHint));

  auto* save_text_button =
      MakeButton("PushButton8", "Save Results As Text File", 8040, 5250, 3840, 405, this);
  auto* save_workbook_button =
      MakeButton("PushButton13", "Save Results As Excel File", 12000, 5250, 3840, 405, this);
  auto* clear_results_button =
      MakeButton("PushButton9", "Clear Results", 12000, 5775, 3840, 405, this);

  progress_ = new QProgressBar(this);
  Place(progress_, "ProgressBar1", 8040, 6315, 7800, 405);
  progress_->setRange(0, 100);
  progress_->setValue(0);
  progress_->setTextVisible(true);
  progress_->setAlignment(Qt::AlignCenter);
  progress_->setFormat(QStringLiteral("Progress Bar"));
  // The progress bar has no pointer rule: a move over it must not reach the window behind.
  progress_->setAttribute(Qt::WA_NoMousePropagation);

  auto* add_url_button = MakeButton("PushButton3", "Add URL", 120, 1905, 3840, 405, this);
  auto* load_list_button =
      MakeButton("PushButton5", "Load List Of URLs From Text File", 4080, 1905, 3840, 405, this);
  auto* samples_button =
      MakeButton("PushButton15", "Load Sample/Example Files", 4080, 2400, 3840, 405, this);
  auto* clear_list_button = MakeButton("PushButton16", "Clear List", 120, 2400, 3840, 405, this);
  auto* start_button = MakeButton("PushButton17", "Start Extraction", 8040, 120, 7800, 405, this);

  options_frame_ = new QGroupBox(QStringLiteral("Extract Options"), this);
  Place(options_frame_, "Frame2", 120, 2880, 7800, 3840);
  head_option_ = new QRadioButton(QStringLiteral("Extract Entire Head Tag"), options_frame_);
  Place(head_option_, "Option1", 240, 300, 2670, 255);
  title_meta_option_ =
      new QRadioButton(QStringLiteral("Extract Title and Meta Tags"), options_frame_);
  Place(title_meta_option_, "Option2", 240, 650, 2670, 255);
  listed_tags_option_ =
      new QRadioButton(QStringLiteral("Extract Only These Tags:"), options_frame_);
  Place(listed_tags_option_, "Option3", 240, 1000, 2670, 255);

  tags_frame_ = new QGroupBox(QStringLiteral("Only These Tags"), options_frame_);
  Place(tags_frame_, "Frame1", 600, 1320, 6495, 2250);
  tags_view_ = new ListWidget(tags_, false, tags_frame_);
  Place(tags_view_, "ListView3", 240, 300, 6000, 1290);
  tags_view_->setToolTip(QString::fromUtf8(kListHint));
  auto* add_tag_button = MakeButton("PushButton11", "Add Tag", 240, 1680, 1425, 405, tags_frame_);
  auto* delete_tag_button =
      MakeButton("PushButton12", "Delete Tag", 1800, 1680, 1545, 405, tags_frame_);
  auto* clear_tags_button = MakeButton("PushButton10", "Clear", 3480, 1680, 1305, 405, tags_frame_);
  auto* tag_help_button = MakeButton("PushButton14", "Help", 4920, 1680, 1305, 405, tags_frame_);
  auto* copy_button =
      MakeButton("PushButton1", "Copy Results To Clipboard", 8040, 5775, 3840, 405, this);

  // White backgrounds for the frames and options, as for the window.
  for (QWidget* w : std::initializer_list<QWidget*>{tags_frame_, options_frame_, head_option_,
                                                    title_meta_option_, listed_tags_option_}) {
    QPalette white = w->palette();
    white.setColor(QPalette::Window, Qt::white);
    w->setPalette(white);
    w->setAutoFillBackground(qobject_cast<QGroupBox*>(w) != nullptr);
    w->setMouseTracking(true);
    w->installEventFilter(this);
  }

  QWidget* order[] = {
      addresses_view_, results_view_,  save_text_button, save_workbook_button, clear_results_button,
      add_url_button,  progress_,      load_list_button, samples_button,       clear_list_button,
      start_button,    options_frame_, head_option_,     title_meta_option_,   listed_tags_option_,
      tags_frame_,     tags_view_,     add_tag_button,   delete_tag_button,    clear_tags_button,
      tag_help_button, copy_button};
  // ProgressBar1 takes no focus; the rest follow the window's tab order.
  progress_->setFocusPolicy(Qt::NoFocus);
  QWidget* previous = nullptr;
  for (QWidget* w : order) {
    if (w == progress_) continue;
    if (previous) setTabOrder(previous, w);
    previous = w;
  }

  connect(copy_button, &QPushButton::clicked, this, &MainWindow::CopyResultsToClipboard);
  connect(add_url_button, &QPushButton::clicked, this, &MainWindow::AddUrl);
  connect(load_list_button, &QPushButton::clicked, this, &MainWindow::LoadUrlList);
  connect(save_text_button, &QPushButton::clicked, this, &MainWindow::SaveResultsAsText);
  connect(clear_results_button, &QPushButton::clicked, this, &MainWindow::ClearResults);
  connect(clear_tags_button, &QPushButton::clicked, this, &MainWindow::ClearTags);
  connect(add_tag_button, &QPushButton::clicked, this, &MainWindow::AddTag);
  connect(delete_tag_button, &QPushButton::clicked, this, &MainWindow::DeleteTag);
  connect(save_workbook_button, &QPushButton::clicked, this, &MainWindow::SaveResultsAsWorkbook);
  connect(tag_help_button, &QPushButton::clicked, this, &MainWindow::ShowTagHelp);
  connect(samples_button, &QPushButton::clicked, this, &MainWindow::LoadSampleFiles);
  connect(clear_list_button, &QPushButton::clicked, this, &MainWindow::ClearUrlList);
  connect(start_button, &QPushButton::clicked, this, &MainWindow::StartExtraction);
  connect(head_option_, &QRadioButton::clicked, this, &MainWindow::ChooseEntireHead);
  connect(title_meta_option_, &QRadioButton::clicked, this, &MainWindow::ChooseTitleAndMeta);
  connect(listed_tags_option_, &QRadioButton::clicked, this, &MainWindow::ChooseListedTags);

  for (ListWidget* list : {addresses_view_, results_view_, tags_view_}) {
    connect(list, &ListWidget::pointerMoved, this, &MainWindow::OnPointerOverArea);
    connect(list, &ListWidget::removeRequested, this,
            [this, list] { RemoveSelectedItem(list->listModel()->list(), *this); });
  }
}

std::optional<Mode> MainWindow::SelectedMode() const {
  if (head_option_->isChecked()) return Mode::kEntireHeadTag;
  if (title_meta_option_->isChecked()) return Mode::kTitleAndMetaTags;
  if (listed_tags_option_->isChecked()) return Mode::kOnlyListedTags;
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
  progress_->setValue(static_cast<int>(std::lround(percent)));
}

void MainWindow::SetProgressText(const std::string& text) {
  progress_->setFormat(QString::fromUtf8(text).replace(QLatin1Char('%'), QStringLiteral("%%")));
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

void MainWindow::SaveOption(const char* value) {
  try {
    services_.settings->Save("Option", value);
  } catch (const std::exception& e) {
    // The option handlers have no failure report of their own; say it plainly once.
    services_.boxes->Message(std::string("The chosen option could not be saved: ") + e.what(),
                             BoxStyle::kOk);
  }
}

void MainWindow::ChooseEntireHead() { SaveOption("1"); }
void MainWindow::ChooseTitleAndMeta() { SaveOption("2"); }
void MainWindow::ChooseListedTags() { SaveOption("3"); }

namespace {
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
namespace {

// While a run goes, the window is painted at most every `interval_ms`: the run passes
// through the event loop once or twice for every address, and a repaint of the lists
// for each pass cost ten times the run's own work. A paint request that comes sooner is
// held and sent again when the interval is over; nothing that is shown changes, only
// how often it is drawn.
class PaintThrottle : public QObject {
 public:
  PaintThrottle(QWidget* window, int interval_ms) : window_(window), interval_ms_(interval_ms) {
    timer_.setSingleShot(true);
    connect(&timer_, &QTimer::timeout, this, [this] { Resend(); });
    since_.start();
    window_->installEventFilter(this);
  }
  ~PaintThrottle() override {
    window_->removeEventFilter(this);
    if (held_) Resend();
  }

  bool eventFilter(QObject* target, QEvent* event) override {
    if (target != window_ || event->type() != QEvent::UpdateRequest) return false;
    const qint64 elapsed = since_.elapsed();
    if (elapsed >= interval_ms_) {
      since_.restart();
      return false;  // painted now
    }
    held_ = true;
    if (!timer_.isActive()) timer_.start(static_cast<int>(interval_ms_ - elapsed));
    return true;
  }

 private:
  void Resend() {
    held_ = false;
    QCoreApplication::postEvent(window_, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
  }

  QWidget* window_;
  const int interval_ms_;
  QElapsedTimer since_;
  QTimer timer_;
  bool held_ = false;
};

}  // namespace

void MainWindow::StartExtraction() {
  BusyScope scope(busy_commands_);
  PaintThrottle throttle(this, 150);
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
  for (QWidget* w : std::initializer_list<QWidget*>{this, tags_frame_, options_frame_, head_option_,
                                                    title_meta_option_, listed_tags_option_}) {
    QPalette palette = w->palette();
    palette.setColor(QPalette::Window, face);
    w->setPalette(palette);
  }
  setStyleSheet(style);
}

void MainWindow::SetAppTitle() {
  // The product name has no blank to cut at, so the whole name is the title.
  std::string title = kProductName;
  while (title.size() > 40) {
    const std::size_t blank = title.rfind(' ');
    if (blank == std::string::npos) break;
    title.resize(blank);
  }
  // The boxes take it as their caption. It is not made Qt's display name: Qt would append
  // that to every window title ("Save — Orvanel"), and the boxes' titles are exact.
  app_title_ = title;
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
  if (runner.Test(108, [&] { return settings.Get("Snapshot", "").empty(); })) {
    runner.Step(108, [&] { RecordSamplesSnapshot(settings, folder); });
  }
  if (runner.Test(124, [&] { return settings.Get("Snapshot", "").empty(); })) {
    runner.Step(124, [&] { RecordSamplesSnapshot(settings, folder); });
  }
  runner.Step(126, [&] { setWindowTitle(QString::fromUtf8(kProductName)); });
  runner.Step(126, [&] { setWindowIcon(ProgramIcon()); });
  runner.Step(126, [&] { SetAppTitle(); });
  if (runner.Test(128, [&] { return settings.Get("Option", "1") == "1"; })) {
    runner.Step(130, [&] {
      head_option_->setChecked(true);
      ChooseEntireHead();
    });
  } else if (runner.Test(132, [&] { return settings.Get("Option", "1") == "2"; })) {
    runner.Step(134, [&] {
      title_meta_option_->setChecked(true);
      ChooseTitleAndMeta();
    });
  } else if (runner.Test(136, [&] { return settings.Get("Option", "1") == "3"; })) {
    runner.Step(138, [&] {
      listed_tags_option_->setChecked(true);
      ChooseListedTags();
    });
  }
  runner.Step(140, [&] { addresses_.AddColumn(" Website(s)"); });
  runner.Step(142, [&] { addresses_.SetColumnWidth(1, 7000); });
  runner.Step(144, [&] { results_.AddColumn("Results"); });
  runner.Step(146, [&] { results_.SetColumnWidth(1, 7000); });
  runner.Step(148, [&] { tags_.AddColumn("Tag(s)"); });
  runner.Step(150, [&] { tags_.SetColumnWidth(1, 5000); });
  if (runner.Test(152, [&] { return settings.Get("Tags", "").empty(); })) {
    runner.Step(154, [&] { tags_.Add(DefaultTags()[0]); });
    runner.Step(156, [&] { tags_.Add(DefaultTags()[1]); });
    return;
  }
  std::vector<std::string> entries;
  runner.Step(158, [&] { entries = TagsFromStorage(settings.Get("Tags", "")); });
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
  runner.Step(108, [&] { services_.settings->Save("Tags", stored); });
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
