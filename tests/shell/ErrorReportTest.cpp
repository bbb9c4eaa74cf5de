#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>

#include "Fakes.h"
#include "shell/ErrorReport.h"

namespace orvanel {
namespace {

using testing::FakeBoxes;

TEST(FailureMessage, HasTheExactLayout) {
  EXPECT_EQ(FormatFailureMessage("File not found", HandlerLocation("PushButton8_Click"), 120),
            "File not found\r\nin Quorlin2021/08/31.Form1.PushButton8_Click at line 120\r\r"
            "Please email screenshot of this message to support@orvanel.example");
}

// Each command's reports name the handler of the control the user pressed.
TEST(FailureMessage, NamesTheHandlerOfEachCommand) {
  const std::pair<Command, const char*> handlers[] = {
      {Command::kStartUp, "Form_Load"},
      {Command::kClose, "Form_QueryUnload"},
      {Command::kAddUrl, "PushButton3_Click"},
      {Command::kLoadUrlList, "PushButton5_Click"},
      {Command::kLoadSampleFiles, "PushButton15_Click"},
      {Command::kClearUrlList, "PushButton16_Click"},
      {Command::kStartExtraction, "PushButton17_Click"},
      {Command::kClearResults, "PushButton9_Click"},
      {Command::kSaveResultsAsText, "PushButton8_Click"},
      {Command::kSaveResultsAsWorkbook, "PushButton13_Click"},
      {Command::kCopyResultsToClipboard, "PushButton1_Click"},
      {Command::kAddTag, "PushButton11_Click"},
      {Command::kDeleteTag, "PushButton12_Click"},
      {Command::kClearTags, "PushButton10_Click"},
      {Command::kShowTagHelp, "PushButton14_Click"},
  };
  for (const auto& [command, handler] : handlers) {
    FakeBoxes boxes;
    StepRunner runner(boxes, command);
    runner.Step(7, [] { throw Failure("x"); });
    ASSERT_EQ(boxes.shown.size(), 1u) << handler;
    EXPECT_EQ(boxes.shown[0].text.rfind(
                  std::string("x\r\nin Quorlin2021/08/31.Form1.") + handler + " at line 7\r\r", 0),
              0u)
        << boxes.shown[0].text;
  }
}

TEST(StepRunner, ReportsEachFailureWithItsStepAndGoesOn) {
  FakeBoxes boxes;
  StepRunner runner(boxes, Command::kStartUp);
  std::vector<long> ran;
  runner.Step(100, [&] { ran.push_back(100); });
  EXPECT_FALSE(runner.Step(102, [&] { throw Failure("first"); }));
  runner.Step(104, [&] { ran.push_back(104); });
  runner.Step(106, [&] { throw std::runtime_error("second"); });
  runner.Step(108, [&] { ran.push_back(108); });
  EXPECT_EQ(ran, (std::vector<long>{100, 104, 108}));
  ASSERT_EQ(boxes.shown.size(), 2u);
  EXPECT_EQ(boxes.shown[0].title, "Application Error");
  EXPECT_EQ(boxes.shown[0].style, BoxStyle::kOkWarning);
  EXPECT_EQ(
      boxes.shown[0].text.rfind("first\r\nin Quorlin2021/08/31.Form1.Form_Load at line 102\r\r", 0),
      0u);
  EXPECT_NE(boxes.shown[1].text.find("Form_Load at line 106\r\r"), std::string::npos);
}

TEST(StepRunner, AFailingTestRunsTheBlockItGuards) {
  FakeBoxes boxes;
  StepRunner runner(boxes, Command::kLoadUrlList);
  EXPECT_TRUE(runner.Test(110, []() -> bool { throw Failure("x"); }));
  EXPECT_FALSE(runner.Test(112, [] { return false; }));
  EXPECT_EQ(boxes.shown.size(), 1u);
}

TEST(StepRunner, ABoxThatCannotBeShownDoesNotStopTheCommand) {
  FakeBoxes boxes;
  boxes.on_message = [](const std::string&) { throw std::runtime_error("no display"); };
  StepRunner runner(boxes, Command::kCopyResultsToClipboard);
  bool later = false;
  runner.Step(106, [] { throw Failure("x"); });
  runner.Step(108, [&] { later = true; });
  EXPECT_TRUE(later);
}

// When the program is ended from outside, a report goes to standard error, one line each,
// and nobody is asked anything.
TEST(UnattendedBoxes, EachReportIsOneLineAndEveryQuestionIsAnsweredNo) {
  std::FILE* capture = std::tmpfile();
  ASSERT_NE(capture, nullptr);
  std::fflush(stderr);
  const int saved = ::dup(2);
  ASSERT_GE(saved, 0);
  ::dup2(::fileno(capture), 2);
  UnattendedBoxes boxes;
  const BoxAnswer ok =
      boxes.Message(FormatFailureMessage("Disk full", HandlerLocation("Form_QueryUnload"), 108),
                    BoxStyle::kOkWarning, "Application Error");
  const BoxAnswer no = boxes.Message("Save the tags?\nThey changed.", BoxStyle::kYesNo);
  std::fflush(stderr);
  ::dup2(saved, 2);
  ::close(saved);
  std::string written(4096, '\0');
  std::rewind(capture);
  written.resize(std::fread(written.data(), 1, written.size(), capture));
  std::fclose(capture);
  EXPECT_EQ(written,
            std::string("Orvanel: Disk full in Quorlin2021/08/31.Form1.Form_QueryUnload at "
                        "line 108 Please email screenshot of this message to ") +
                kSupportAddress + "\nOrvanel: Save the tags? They changed.\n");
  EXPECT_EQ(ok, BoxAnswer::kOk);
  EXPECT_EQ(no, BoxAnswer::kNo);
  EXPECT_EQ(boxes.Input("Enter tag:"), "");
}

}  // namespace
}  // namespace orvanel
