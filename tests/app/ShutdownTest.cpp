// The program as users start it: SIGTERM is a close request that saves the tag list and
// ends the program promptly.
#include <gtest/gtest.h>
#include <signal.h>
#include <fcntl.h>
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

#if defined(__SANITIZE_ADDRESS__)
constexpr auto kExitBound = 5s;  // the leak check at exit takes its time
#else
constexpr auto kExitBound = 1s;
#endif

// Starts the program offscreen with its settings in `config`; standard error goes to
// `err_path`.
pid_t StartProgram(const std::string& config, const std::string& err_path) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, 2);
    const std::string program = BinaryDir() + "/orvanel";
    ::execl(program.c_str(), program.c_str(), "--unknown-argument", nullptr);
    ::_exit(127);
  }
  return pid;
}

// Waits at most 5 s; true when the program ended by itself within `bound`.
bool EndsWithin(pid_t pid, std::chrono::milliseconds bound, int& status) {
  const auto start = std::chrono::steady_clock::now();
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() - start > 5s) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, nullptr, 0);
      return false;
    }
    std::this_thread::sleep_for(10ms);
  }
  return std::chrono::steady_clock::now() - start < bound;
}

TEST(Shutdown, TerminationSavesTheTagListAndEndsAtOnce) {
  TempDir config;
  const std::string ini = config.path() + "/Dravikton.ini";
  const pid_t pid = StartProgram(config.path(), config.path() + "/stderr");
  // Start-up writes the option; wait for it, then ask the program to close.
  for (int i = 0; i < 200 && ReadAll(ini).find("Option=1") == std::string::npos; ++i) {
    std::this_thread::sleep_for(25ms);
  }
  ASSERT_NE(ReadAll(ini).find("Option=1"), std::string::npos);
  EXPECT_EQ(ReadAll(ini).find("Tags="), std::string::npos);
  ::kill(pid, SIGTERM);
  int status = -1;
  EXPECT_TRUE(EndsWithin(pid, kExitBound, status));
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_NE(ReadAll(ini).find("Tags=<title></title>|Dravikton|keywords|Dravikton|"), std::string::npos);
}

// Settings that cannot be written: start-up reports it in a box, which nobody answers.
// Each close request from outside must still end the program, with the failed save on
// standard error instead of in yet another box.
TEST(Shutdown, ACloseRequestEndsTheProgramWhileAFailureBoxIsOpen) {
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir config;
    std::filesystem::create_directory(config.path() + "/Dravikton.ini");  // not a file
    const std::string err = config.path() + "/stderr";
    const pid_t pid = StartProgram(config.path(), err);
    std::this_thread::sleep_for(1500ms);  // start-up is now waiting in its failure box
    ::kill(pid, signal);
    int status = -1;
    EXPECT_TRUE(EndsWithin(pid, kExitBound, status));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_NE(ReadAll(err).find("Cannot save the setting Tags"), std::string::npos) << ReadAll(err);
    EXPECT_NE(ReadAll(err).find("Form_QueryUnload at line 108"), std::string::npos) << ReadAll(err);
  }
}

}  // namespace
}  // namespace orvanel
