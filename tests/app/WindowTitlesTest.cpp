// The program on a real X server (Xvfb): the titles the window system shows are exactly
// the program's own, with nothing added.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Subprocess.h"
#include "TempDir.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;
using namespace std::chrono_literals;

std::string Which(const std::string& program) {
  const auto found = RunProgram({"/bin/sh", "-c", "command -v " + program});
  std::string path = found.out;
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

// Asks first (Xvfb then removes its lock and socket), then insists.
void Stop(pid_t pid) {
  ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(20ms);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

TEST(WindowTitles, TheFailureBoxIsTitledExactlyApplicationError) {
  const std::string xvfb = Which("Xvfb");
  const std::string xdotool = Which("xdotool");
  if (xvfb.empty() || xdotool.empty()) GTEST_SKIP() << "needs Xvfb and xdotool (scripts/orvanel.sh installs them)";
  // Xvfb picks a free display itself and tells its number through a pipe.
  int display_pipe[2];
  ASSERT_EQ(::pipe(display_pipe), 0);
  const pid_t server = StartInBackground({xvfb, "-displayfd", std::to_string(display_pipe[1]), "-nolisten", "tcp",
                              "-screen", "0", "1280x800x24"},
                             {});
  ::close(display_pipe[1]);
  std::string number;
  char c;
  while (::read(display_pipe[0], &c, 1) == 1 && c != '\n') number += c;
  ::close(display_pipe[0]);
  if (number.empty()) {
    Stop(server);
    FAIL() << "Xvfb did not start";
  }
  const std::string name = ":" + number;
  TempDir config;
  std::filesystem::create_directory(config.path() + "/Dravikton.ini");  // start-up fails to read it
  const pid_t program = StartInBackground({BinaryDir() + "/orvanel"},
                              {"DISPLAY=" + name, "QT_QPA_PLATFORM=xcb", "XDG_CONFIG_HOME=" + config.path()});
  // Start-up reports each failed read in a box: answer them one by one, noting each title.
  // The later ones come after the application title is set.
  auto x = [&](std::vector<std::string> args) {
    args.insert(args.begin(), {"/usr/bin/env", "DISPLAY=" + name, xdotool});
    return RunProgram(args).out;
  };
  std::vector<std::string> titles;
  // Until no box has come for five seconds (start-up is over) or 40 were seen.
  for (int idle = 0; idle < 50 && titles.size() < 40;) {
    std::this_thread::sleep_for(100ms);
    const std::string found = x({"search", "--onlyvisible", "--name", "Application Error"});
    const std::string id = found.substr(0, found.find('\n'));
    if (id.empty()) {
      idle += titles.empty() ? 0 : 1;
      continue;
    }
    idle = 0;
    titles.push_back(x({"getwindowname", id}));
    x({"windowfocus", "--sync", id});
    x({"key", "--window", id, "Return"});
    std::this_thread::sleep_for(200ms);
  }
  Stop(program);
  Stop(server);
  ASSERT_GE(titles.size(), 8u);
  for (const auto& title : titles) EXPECT_EQ(title, "Application Error\n");
}

}  // namespace
}  // namespace orvanel
