// The program as users start it: SIGTERM is a close request that saves the tag list and
// ends the program promptly.
#include <gtest/gtest.h>
#include <signal.h>
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

TEST(Shutdown, TerminationSavesTheTagListAndEndsAtOnce) {
  TempDir config;
  const std::string ini = config.path() + "/Dravikton.ini";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    const std::string program = BinaryDir() + "/orvanel";
    ::execl(program.c_str(), program.c_str(), "--unknown-argument", nullptr);
    ::_exit(127);
  }
  // Start-up writes the option; wait for it, then ask the program to close.
  for (int i = 0; i < 200 && ReadAll(ini).find("Option=1") == std::string::npos; ++i) {
    std::this_thread::sleep_for(25ms);
  }
  ASSERT_NE(ReadAll(ini).find("Option=1"), std::string::npos);
  EXPECT_EQ(ReadAll(ini).find("Tags="), std::string::npos);
  ::kill(pid, SIGTERM);
  int status = -1;
  const auto start = std::chrono::steady_clock::now();
  while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() - start < 5s) {
    std::this_thread::sleep_for(10ms);
  }
#if defined(__SANITIZE_ADDRESS__)
  const auto bound = 5s;  // the leak check at exit takes its time
#else
  const auto bound = 1s;
#endif
  EXPECT_LT(std::chrono::steady_clock::now() - start, bound);
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_NE(ReadAll(ini).find("Tags=<title></title>|Dravikton|keywords|Dravikton|"), std::string::npos);
  if (!WIFEXITED(status)) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
}

}  // namespace
}  // namespace orvanel
