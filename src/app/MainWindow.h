#pragma once

#include <QWidget>
#include <memory>
#include <optional>
#include <string>

#include "engine/ExtractionRun.h"
#include "fetch/Fetcher.h"
#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"
#include "shell/Workbook.h"

class QGroupBox;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace orvanel {

class ListWidget;

// The outside services the window works with; tests hand in fakes.
struct WindowServices {
  MessageBoxes* boxes = nullptr;
  FileDialog* dialog = nullptr;
  SettingsStore* settings = nullptr;
  Clipboard* clipboard = nullptr;
  Shell* shell = nullptr;
  SpreadsheetApp* spreadsheet = nullptr;
  EventPump* pump = nullptr;
  Fetcher* fetcher = nullptr;
  std::string program_folder;  // holds HAND-M.CUR, x/o.cjs and Samples
};

// Form1: the program's one working window.
class MainWindow : public QWidget, public WindowState {
  Q_OBJECT
 public:
  explicit MainWindow(WindowServices services, QWidget* parent = nullptr);
  ~MainWindow() override;

  // Start-up, run before the window is first shown.
  void StartUp();
  // The close request: saves the tag list; failures are reported through `report`
  // (the window's boxes when none is given).
  void SaveTagsOnClose();
  void SaveTagsOnClose(MessageBoxes& report);
  // A close request from outside the window (a signal, the session ending): nobody may be
  // there to answer a box, so the tag list is saved with failures reported on standard
  // error, and the program ends at once, also while a box or a command is waiting.
  void CloseFromOutside();
  // The session is ending: save the tag list without boxes; the program goes on.
  void SaveUnattended();

  // WindowState
  Pointer GetPointer() const override { return pointer_; }
  void SetPointer(Pointer pointer) override;
  void SetProgressValue(double percent) override;
  void SetProgressText(const std::string& text) override;

  ListView& Addresses() { return addresses_; }
  ListView& Results() { return results_; }
  ListView& Tags() { return tags_; }
  bool IsExtracting() const { return run_->IsExtracting(); }
  std::optional<Mode> SelectedMode() const;
  const std::string& ApplicationTitle() const { return app_title_; }

  // Called when a close request arrives while a command waits in the event loop: the
  // program then ends at once, after the tag list is saved.
  void SetExitWhileBusy(std::function<void()> exit_now) { exit_now_ = std::move(exit_now); }

 public slots:
  void CopyResultsToClipboard();
  void AddUrl();
  void LoadUrlList();
  void SaveResultsAsText();
  void ClearResults();
  void ClearTags();
  void AddTag();
  void DeleteTag();
  void SaveResultsAsWorkbook();
  void ShowTagHelp();
  void LoadSampleFiles();
  void ClearUrlList();
  void StartExtraction();
  void ChooseEntireHead();
  void ChooseTitleAndMeta();
  void ChooseListedTags();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void BuildControls();
  void ApplySkin();
  void SetAppTitle();
  QPushButton* MakeButton(const char* name, const char* caption, int left, int top, int width,
                          int height, QWidget* parent);
  void OnPointerOverButton();
  void OnPointerOverArea();
  void SaveOption(const char* value);

  WindowServices services_;
  ListView addresses_;
  ListView results_;
  ListView tags_;
  std::unique_ptr<ExtractionRun> run_;

  ListWidget* addresses_view_ = nullptr;
  ListWidget* results_view_ = nullptr;
  ListWidget* tags_view_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QGroupBox* tags_frame_ = nullptr;
  QGroupBox* options_frame_ = nullptr;
  QRadioButton* head_option_ = nullptr;
  QRadioButton* title_meta_option_ = nullptr;
  QRadioButton* listed_tags_option_ = nullptr;
  Pointer pointer_ = Pointer::kDefault;
  std::optional<QCursor> hand_cursor_;
  std::string app_title_;
  std::function<void()> exit_now_;
  int busy_commands_ = 0;  // commands now running that may wait in the event loop
  bool closing_ = false;
  bool closing_from_outside_ = false;
};

}  // namespace orvanel
