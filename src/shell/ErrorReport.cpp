#include "shell/ErrorReport.h"

#include <cstdio>

namespace orvanel {

BoxAnswer UnattendedBoxes::Message(const std::string& text, BoxStyle style, const std::string&) {
  std::string line = std::string(kProductName) + ": ";
  // Line breaks become single blanks: one report, one line.
  for (char c : text) {
    const bool is_break = c == '\r' || c == '\n';
    if (is_break && !line.empty() && line.back() == ' ') continue;
    line += is_break ? ' ' : c;
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
  return style == BoxStyle::kYesNo ? BoxAnswer::kNo : BoxAnswer::kOk;
}

std::string UnattendedBoxes::Input(const std::string&) { return {}; }

std::string FormatFailureMessage(const std::string& description, const std::string& location,
                                 long step) {
  return description + "\r\n" + location + "at line " + std::to_string(step) + "\r\r" +
         "Please email screenshot of this message to " + kSupportAddress;
}

const char* HandlerName(Command command) {
  switch (command) {
    case Command::kStartUp:
      return "Form_Load";
    case Command::kClose:
      return "Form_QueryUnload";
    case Command::kAddUrl:
      return "PushButton3_Click";
    case Command::kLoadUrlList:
      return "PushButton5_Click";
    case Command::kLoadSampleFiles:
      return "PushButton15_Click";
    case Command::kClearUrlList:
      return "PushButton16_Click";
    case Command::kStartExtraction:
      return "PushButton17_Click";
    case Command::kClearResults:
      return "PushButton9_Click";
    case Command::kSaveResultsAsText:
      return "PushButton8_Click";
    case Command::kSaveResultsAsWorkbook:
      return "PushButton13_Click";
    case Command::kCopyResultsToClipboard:
      return "PushButton1_Click";
    case Command::kAddTag:
      return "PushButton11_Click";
    case Command::kDeleteTag:
      return "PushButton12_Click";
    case Command::kClearTags:
      return "PushButton10_Click";
    case Command::kShowTagHelp:
      return "PushButton14_Click";
  }
  return "";
}

std::string HandlerLocation(const std::string& handler) {
  return "in Quorlin2021/08/31.Form1." + handler + " ";
}

void StepRunner::Report(const std::string& description) {
  try {
    boxes_.Message(FormatFailureMessage(description, location_, current_), BoxStyle::kOkWarning,
                   "Application Error");
  } catch (...) {
    // A box that cannot be shown has nobody left to tell; the command goes on regardless.
  }
}

}  // namespace orvanel
