#pragma once

#include <string>
#include <utility>

#include "base/Failure.h"
#include "shell/MessageBoxes.h"

namespace orvanel {

inline constexpr const char* kSupportAddress = "support@orvanel.example";

// The text of the "Application Error" box: the description, CR LF, the command's location
// (with its trailing blank), "at line " and the step, two CR, and the support request.
std::string FormatFailureMessage(const std::string& description, const std::string& location,
                                 long step);

// The window's commands that report failures.
enum class Command {
  kStartUp,
  kClose,
  kAddUrl,
  kLoadUrlList,
  kLoadSampleFiles,
  kClearUrlList,
  kStartExtraction,
  kClearResults,
  kSaveResultsAsText,
  kSaveResultsAsWorkbook,
  kCopyResultsToClipboard,
  kAddTag,
  kDeleteTag,
  kClearTags,
  kShowTagHelp,
};

// The name the failure report gives a command: the event handler of the form the window
// was laid out from ("PushButton17_Click"). Users quote these names to support.
const char* HandlerName(Command command);

// The location text of a handler of the main window, e.g. "in Quorlin2021/08/31.Form1.Form_Load ".
std::string HandlerLocation(const std::string& handler);

// Runs the numbered steps of one command. A step that throws is reported in the
// "Application Error" box with the command's location and the step's number, and the
// command goes on with its next step: nothing a step throws leaves the runner.
class StepRunner {
 public:
  StepRunner(MessageBoxes& boxes, Command command)
      : boxes_(boxes), location_(HandlerLocation(HandlerName(command))) {}

  // Runs `body` as step `number`. Returns false when it failed (and was reported).
  template <typename F>
  bool Step(long number, F&& body) {
    current_ = number;
    try {
      std::forward<F>(body)();
      return true;
    } catch (const std::exception& e) {
      Report(e.what());
    } catch (...) {
      Report("Unknown failure");
    }
    return false;
  }

  // Evaluates a condition as step `number`. A failing test counts as passed, so the block
  // it guards runs, as after any reported failure.
  template <typename F>
  bool Test(long number, F&& condition) {
    bool result = true;
    Step(number, [&] { result = std::forward<F>(condition)(); });
    return result;
  }

 private:
  void Report(const std::string& description);

  MessageBoxes& boxes_;
  std::string location_;
  long current_ = 0;
};

}  // namespace orvanel
