#include "platform/ErrorReport.h"

namespace orvanel {

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
