#pragma once

#include <QIcon>
#include <array>

class QGroupBox;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QWidget;

namespace orvanel {

class ListView;
class ListWidget;

// The controls of the main window as the form they come from lays them out: each named
// after the form's control, placed and sized in twips, with its caption, font and hint, the
// white backgrounds, and the tab order. They are children of the window (or of a frame in
// it), which owns them; this only points at them.
struct WindowControls {
  // Builds the controls on `window`; the three lists show `addresses`, `results` and `tags`.
  static WindowControls Build(QWidget* window, ListView& addresses, ListView& results,
                              ListView& tags);

  ListWidget* addresses = nullptr;
  ListWidget* results = nullptr;
  ListWidget* tags = nullptr;
  QProgressBar* progress = nullptr;
  QGroupBox* options_frame = nullptr;
  QGroupBox* tags_frame = nullptr;
  // The option buttons in mode order: entire head tag, title and meta tags, listed tags.
  std::array<QRadioButton*, 3> options{};

  QPushButton* start = nullptr;
  QPushButton* add_url = nullptr;
  QPushButton* load_list = nullptr;
  QPushButton* load_samples = nullptr;
  QPushButton* clear_list = nullptr;
  QPushButton* add_tag = nullptr;
  QPushButton* delete_tag = nullptr;
  QPushButton* clear_tags = nullptr;
  QPushButton* tag_help = nullptr;
  QPushButton* save_text = nullptr;
  QPushButton* save_workbook = nullptr;
  QPushButton* copy_results = nullptr;
  QPushButton* clear_results = nullptr;
};

// The window's size, in pixels (the form's client area is given in twips).
QSize WindowSize();

// The program's own icon: a white "O" on a dark blue rounded square.
QIcon ProgramIcon();

}  // namespace orvanel
