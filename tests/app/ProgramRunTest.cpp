// The program as users start it, on a real X server (Xvfb) and driven through real X input
// (xdotool): an address typed into Add URL's box is fetched from a loopback server by
// Start Extraction, the run ends with its "Done." box, and Copy Results To Clipboard puts
// the page's head on the X clipboard, read back here as another program would. Every wait
// is for the program itself, bounded generously, so that a busy machine only makes it
// slower.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QClipboard>
#include <QGuiApplication>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <sstream>

#include "LoopbackServer.h"
#include "Subprocess.h"
#include "TempDir.h"
#include "XServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// The boxes bear the program's name as the main window does; the window is the one of the
// form's size.
std::set<std::string> Boxes(const XServer& x) {
  std::set<std::string> boxes;
  const std::string ids = x.XDoTool({"search", "--onlyvisible", "--name", "^Orvanel$"});
  for (std::size_t at = 0, end; (end = ids.find('\n', at)) != std::string::npos; at = end + 1) {
    const std::string id = ids.substr(at, end - at);
    if (x.XDoTool({"getwindowgeometry", id}).find("1064x456") == std::string::npos) {
      boxes.insert(id);
    }
  }
  return boxes;
}

// Waits for a box, gives it the keyboard (there is no window manager to do it), and
// presses Return in it, having typed `text` first. False when no box came. The keys go
// through the X server's own input (XTEST), as a keyboard's would: keys sent to a window
// directly leave Return held down once the box closes on its press, and the server's
// repeat of it then answers the next box unseen.
bool AnswerBox(const XServer& x, const std::function<bool()>& running,
               const std::string& text = {}) {
  std::set<std::string> boxes;
  if (!WaitFor([&] { return !(boxes = Boxes(x)).empty() || !running(); }) || boxes.empty()) {
    return false;
  }
  const std::string id = *boxes.begin();
  x.XDoTool({"windowfocus", id});
  if (!text.empty()) x.XDoTool({"type", text});
  x.XDoTool({"key", "Return"});
  return WaitFor([&] { return Boxes(x).count(id) == 0; });
}

// The program started by the test, stopped (and waited for) when the test ends however it
// ends. running() tells, without reaping it, whether it still runs.
class Program {
 public:
  explicit Program(pid_t pid) : pid_(pid) {}
  ~Program() { StopProcess(pid_); }
  Program(const Program&) = delete;
  Program& operator=(const Program&) = delete;
  bool running() const {
    siginfo_t info{};
    return ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
           info.si_pid == 0;
  }

 private:
  pid_t pid_;
};

TEST(ProgramRun, AnAddressTypedInIsFetchedAndItsHeadCopiedToTheClipboard) {
  XServer x;
  if (!x.ok()) GTEST_SKIP() << "needs Xvfb and xdotool (scripts/orvanel.sh installs them)";
  LoopbackServer server;
  // The answer comes a second late, as a distant server's may: it reaches a window that is
  // already waiting for it.
  server.Route("/page", [](auto&, auto& c) {
    if (!c.Sleep(1000)) return;
    c.Respond(200,
              "<html><head><title>Tolvenar harbour</title>"
              "<meta name=\"description\" content=\"Quays of Tolvenar\"></head><body></body>",
              "Content-Type: text/html; charset=utf-8\r\n");
  });
  // The clipboard is read through an X connection of this test's own.
  qputenv("QT_QPA_PLATFORM", "xcb");
  qputenv("DISPLAY", QByteArray::fromStdString(x.display()));
  int argc = 1;
  char name[] = "ProgramRunTest";
  char* argv[] = {name, nullptr};
  QGuiApplication reader(argc, argv);

  TempDir home;
  const Program program(StartInBackground(
      {BinaryDir() + "/orvanel"},
      {"DISPLAY=" + x.display(), "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + home.path(),
       "XDG_CACHE_HOME=" + home.path() + "/cache"}));
  const auto running = [&] { return program.running(); };
  std::optional<std::string> window;
  ASSERT_TRUE(
      WaitFor([&] { return (window = x.FindWindow("^Orvanel$")).has_value() || !running(); }));
  ASSERT_TRUE(window) << "the program ended";
  std::map<std::string, int> g;
  ASSERT_TRUE(WaitFor([&] {
    std::istringstream lines(x.XDoTool({"getwindowgeometry", "--shell", *window}));
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) g[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    return g["WIDTH"] == 1064 || !running();
  }));
  ASSERT_EQ(g["WIDTH"], 1064);
  // A click in the middle of a button, placed in the form's twips.
  auto click = [&](int left, int top, int width, int height) {
    x.XDoTool({"mousemove", std::to_string(g["X"] + (left + width / 2) / 15),
               std::to_string(g["Y"] + (top + height / 2) / 15), "click", "1"});
  };

  click(120, 1905, 3840, 405);  // Add URL
  ASSERT_TRUE(AnswerBox(x, running, server.Url("/page"))) << "Add URL asked nothing";
  click(8040, 120, 7800, 405);  // Start Extraction
  // The run ends with its box only once every transfer's end has reached the window.
  ASSERT_TRUE(AnswerBox(x, running)) << "the run never ended";
  EXPECT_EQ(server.Requests(), 1);

  click(8040, 5775, 3840, 405);  // Copy Results To Clipboard
  // The text is on the clipboard before the box saying so comes up.
  std::set<std::string> boxes;
  ASSERT_TRUE(WaitFor([&] { return !(boxes = Boxes(x)).empty() || !running(); }));
  ASSERT_FALSE(boxes.empty()) << "the program ended";
  const std::string copied = QGuiApplication::clipboard()->text().toStdString();
  EXPECT_NE(copied.find(server.Url("/page")), std::string::npos) << copied;
  EXPECT_NE(copied.find("<title>Tolvenar harbour</title>"), std::string::npos) << copied;
  EXPECT_NE(copied.find("Quays of Tolvenar"), std::string::npos) << copied;
  EXPECT_TRUE(AnswerBox(x, running));
}

}  // namespace
}  // namespace orvanel
