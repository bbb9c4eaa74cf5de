#pragma once

#include <string>

namespace orvanel {

enum class BoxStyle {
  kOk,         // OK button, no icon
  kYesNo,      // Yes and No buttons, no icon
  kOkWarning,  // OK button with the warning icon
};

enum class BoxAnswer { kOk, kYes, kNo };

// The platform's modal message and input boxes. Both block the caller until closed.
class MessageBoxes {
 public:
  virtual ~MessageBoxes() = default;
  // Shows `text` (CR and CR LF are line breaks); an empty title means the application title.
  virtual BoxAnswer Message(const std::string& text, BoxStyle style,
                            const std::string& title = {}) = 0;
  // One-line prompt with OK and Cancel; Cancel gives the empty text.
  virtual std::string Input(const std::string& prompt) = 0;
};

// Boxes for when nobody may be there to close one (the program is asked to end from
// outside): each message goes to standard error as one line, its line breaks made blanks,
// and every question is answered No.
class UnattendedBoxes : public MessageBoxes {
 public:
  BoxAnswer Message(const std::string& text, BoxStyle style,
                    const std::string& title = {}) override;
  std::string Input(const std::string& prompt) override;
};

// The open and save dialogs. An empty answer means the user cancelled.
class FileDialog {
 public:
  virtual ~FileDialog() = default;
  virtual std::string OpenFileName(const std::string& title, const std::string& filter) = 0;
  virtual std::string SaveFileName(const std::string& title, const std::string& filter) = 0;
};

// The filter of the open and save dialogs for address and result files.
inline constexpr const char* kTextFileFilter = "Text Files (*.txt);;All Files (*)";

// The product name, which is also the caption of boxes that give no title of their own.
inline constexpr const char* kProductName = "Orvanel";

}  // namespace orvanel
