#include "app/WindowControls.h"

#include <QGroupBox>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <cmath>
#include <initializer_list>

#include "engine/ExtractionRun.h"
#include "qt/QtListView.h"
#include "shell/ListView.h"

namespace orvanel {
namespace {

int Px(int twips) {
  return static_cast<int>(std::lround(static_cast<double>(twips) / kTwipsPerPixel));
}

constexpr const char* kListHint =
    "Double-click item to remove it. Move | line to right and out of window to reveal full names.";
constexpr const char* kResultsHint = "Move | line to right and out of window to reveal full names.";

// A progress bar that shows its text as it is: Qt's own puts numbers in place of "%p",
// "%v" and "%m" wherever they stand, a file name's included, and has no escape for them.
class PlainProgressBar : public QProgressBar {
 public:
  using QProgressBar::QProgressBar;
  QString text() const override { return format(); }
};

// A control's name on the form it was laid out from, and its place in twips.
void Place(QWidget* control, const char* name, int left, int top, int width, int height) {
  control->setObjectName(QString::fromUtf8(name));
  control->setGeometry(Px(left), Px(top), Px(width), Px(height));
}

QFont ArialBold(double points) {
  QFont font(QStringLiteral("Arial"));
  font.setPointSizeF(points);
  font.setBold(true);
  return font;
}

// A command button; the window watches the pointer over it.
QPushButton* Button(QWidget* window, QWidget* parent, const char* name, const char* caption,
                    int left, int top, int width, int height) {
  auto* button = new QPushButton(QString::fromUtf8(caption), parent);
  Place(button, name, left, top, width, height);
  button->setFont(ArialBold(11.25));
  button->setMouseTracking(true);
  button->installEventFilter(window);
  return button;
}

}  // namespace

QSize WindowSize() { return {Px(15960), Px(6840)}; }

WindowControls WindowControls::Build(QWidget* window, ListView& addresses, ListView& results,
                                     ListView& tags) {
  window->setFont(ArialBold(9));
  WindowControls c;
  c.addresses = new ListWidget(addresses, false, window);
  Place(c.addresses, "ListView1", 120, 120, 7800, 1695);
  c.addresses->setToolTip(QString::fromUtf8(kListHint));

  c.results = new ListWidget(results, true, window);
  Place(c.results, "ListView2", 8040, 645, 7800, 4500);
  c.results->setToolTip(QString::fromUtf8(kResultsHint));

  c.save_text =
      Button(window, window, "PushButton8", "Save Results As Text File", 8040, 5250, 3840, 405);
  c.save_workbook =
      Button(window, window, "PushButton13", "Save Results As Excel File", 12000, 5250, 3840, 405);
  c.clear_results = Button(window, window, "PushButton9", "Clear Results", 12000, 5775, 3840, 405);

  c.progress = new PlainProgressBar(window);
  Place(c.progress, "ProgressBar1", 8040, 6315, 7800, 405);
  c.progress->setRange(0, 100);
  c.progress->setValue(0);
  c.progress->setTextVisible(true);
  c.progress->setAlignment(Qt::AlignCenter);
  c.progress->setFormat(QString::fromUtf8(kProgressIdleText));
  // The progress bar has no pointer rule: a move over it must not reach the window behind.
  c.progress->setAttribute(Qt::WA_NoMousePropagation);

  c.add_url = Button(window, window, "PushButton3", "Add URL", 120, 1905, 3840, 405);
  c.load_list = Button(window, window, "PushButton5", "Load List Of URLs From Text File", 4080,
                       1905, 3840, 405);
  c.load_samples =
      Button(window, window, "PushButton15", "Load Sample/Example Files", 4080, 2400, 3840, 405);
  c.clear_list = Button(window, window, "PushButton16", "Clear List", 120, 2400, 3840, 405);
  c.start = Button(window, window, "PushButton17", "Start Extraction", 8040, 120, 7800, 405);

  c.options_frame = new QGroupBox(QStringLiteral("Extract Options"), window);
  Place(c.options_frame, "Frame2", 120, 2880, 7800, 3840);
  const char* const option_captions[] = {"Extract Entire Head Tag", "Extract Title and Meta Tags",
                                         "Extract Only These Tags:"};
  for (int k = 0; k < 3; ++k) {
    c.options[k] = new QRadioButton(QString::fromUtf8(option_captions[k]), c.options_frame);
    const std::string name = "Option" + std::to_string(k + 1);
    Place(c.options[k], name.c_str(), 240, 300 + 350 * k, 2670, 255);
  }

  c.tags_frame = new QGroupBox(QStringLiteral("Only These Tags"), c.options_frame);
  Place(c.tags_frame, "Frame1", 600, 1320, 6495, 2250);
  c.tags = new ListWidget(tags, false, c.tags_frame);
  Place(c.tags, "ListView3", 240, 300, 6000, 1290);
  c.tags->setToolTip(QString::fromUtf8(kListHint));
  QWidget* frame = c.tags_frame;
  c.add_tag = Button(window, frame, "PushButton11", "Add Tag", 240, 1680, 1425, 405);
  c.delete_tag = Button(window, frame, "PushButton12", "Delete Tag", 1800, 1680, 1545, 405);
  c.clear_tags = Button(window, frame, "PushButton10", "Clear", 3480, 1680, 1305, 405);
  c.tag_help = Button(window, frame, "PushButton14", "Help", 4920, 1680, 1305, 405);
  c.copy_results =
      Button(window, window, "PushButton1", "Copy Results To Clipboard", 8040, 5775, 3840, 405);

  // White backgrounds for the frames and options, as for the window; the window watches
  // the pointer over them.
  for (QWidget* w : std::initializer_list<QWidget*>{c.tags_frame, c.options_frame, c.options[0],
                                                    c.options[1], c.options[2]}) {
    QPalette white = w->palette();
    white.setColor(QPalette::Window, Qt::white);
    w->setPalette(white);
    w->setAutoFillBackground(qobject_cast<QGroupBox*>(w) != nullptr);
    w->setMouseTracking(true);
    w->installEventFilter(window);
  }

  // The form's tab order; ProgressBar1 takes no focus.
  c.progress->setFocusPolicy(Qt::NoFocus);
  QWidget* const order[] = {
      c.addresses,  c.results,      c.save_text,   c.save_workbook, c.clear_results, c.add_url,
      c.load_list,  c.load_samples, c.clear_list,  c.start,         c.options_frame, c.options[0],
      c.options[1], c.options[2],   c.tags_frame,  c.tags,          c.add_tag,       c.delete_tag,
      c.clear_tags, c.tag_help,     c.copy_results};
  for (std::size_t i = 1; i < std::size(order); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
  return c;
}

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

}  // namespace orvanel
