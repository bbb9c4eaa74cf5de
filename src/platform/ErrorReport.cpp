#include "platform/ErrorReport.h"

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

std::string HandlerLocation(const std::string& handler) {
  return "in Quorlin2021/08/31.Form1." + handler + " ";
}

void StepRunner::Report(const std::string& description) {
  ++failures_;
  try {
    boxes_.Message(FormatFailureMessage(description, location_, current_), BoxStyle::kOkWarning,
                   "Application Error");
  } catch (...) {
    // A box that cannot be shown has nobody left to tell; the command goes on regardless.
  }
}

}  // namespace orvanel
