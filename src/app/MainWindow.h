#pragma once

#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "app/WindowControls.h"
#include "engine/ExtractionRun.h"
#include "fetch/Fetcher.h"
#include "shell/ListView.h"
#include "shell/MessageBoxes.h"
#include "shell/Services.h"
#include "shell/Workbook.h"

namespace orvanel {

// The outside services the window works with; tests hand in fakes. They must outlive the
// window.
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

// The "Option" setting: the selected option button as one digit, in mode order.
const char* OptionCode(Mode mode);
inline constexpr const char* kDefaultOptionCode = "1";

// The program's one working window: its controls, and the commands behind them.
//
// Threads: every member runs on the window's thread, the one that runs Qt's event loop.
// Commands run one inside another rather than one after another: a command that waits in
// the event loop lets the user start others meanwhile, each of which runs to its end
// inside that wait. Start Extraction waits for pages; Load List Of URLs From Text File,
// the text and workbook exports and Copy Results To Clipboard pass through the event
// loop as they go (every line, row or cell, at most every few milliseconds); a box or a
// dialog waits for its answer. While one of them waits:
//   - Add URL, Load List Of URLs From Text File, Load Sample/Example Files, Add Tag,
//     Delete Tag, Clear, Help, Clear Results, the option buttons, the three exports and a
//     second load run at once; a run sees what they changed at its next address (a mode
//     chosen meanwhile applies from the next address on);
//   - Start Extraction returns at once while a run goes (one run at a time);
//   - Clear List and the double-click and Delete-key removals of the three lists do
//     nothing while the busy pointer shows (a run, or a text or workbook export);
//   - a close request saves the tag list and ends the program at once, inside the wait
//     (SetExitWhileBusy).
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

  // Called when a close request arrives while a command waits in the event loop: the
  // program then ends at once, after the tag list is saved.
  void SetExitWhileBusy(std::function<void()> exit_now) { exit_now_ = std::move(exit_now); }

  // The click of an option button: saves its code as the "Option" setting.
  void ChooseOption(Mode mode);

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

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  void ConnectCommands();
  // Centred on the screen, but never with its top-left corner (the title bar and the
  // left edge) outside it: a window larger than the screen reaches out on the right and
  // at the bottom only.
  void PlaceOnScreen();
  void ApplySkin();
  void OnPointerOverButton();
  void OnPointerOverArea();

  WindowServices services_;
  ListView addresses_;
  ListView results_;
  ListView tags_;
  std::unique_ptr<ExtractionRun> run_;
  WindowControls controls_;

  Pointer pointer_ = Pointer::kDefault;
  std::optional<QCursor> hand_cursor_;
  std::function<void()> exit_now_;
  int busy_commands_ = 0;  // commands now running that may wait in the event loop
  bool closing_ = false;
  bool closing_from_outside_ = false;
};

}  // namespace orvanel
