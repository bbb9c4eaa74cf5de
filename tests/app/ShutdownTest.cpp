// The program as users start it: SIGTERM is a close request that saves the tag list and
// ends the program by itself, also while a box waits for an answer. Every wait is for the
// event itself, bounded generously.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "Subprocess.h"
#include "TempDir.h"
#include "XServer.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// Starts the program with its settings in `config`, standard error to `err_path`, and
// `env` added (the display).
pid_t StartProgram(const std::string& config, const std::string& err_path,
                   const std::vector<std::string>& env = {"QT_QPA_PLATFORM=offscreen"}) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    ::setenv("XDG_CONFIG_HOME", config.c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (config + "/cache").c_str(), 1);
    const int err = ::open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::dup2(err, 2);
    const std::string program = BinaryDir() + "/orvanel";
    ::execl(program.c_str(), program.c_str(), "--unknown-argument", nullptr);
    ::_exit(127);
  }
  return pid;
}

// True when the program ended by itself within a generous bound (nobody answers anything
// meanwhile); else it is killed.
bool EndsByItself(pid_t pid, int& status) {
  const bool ended = WaitFor([&] { return ::waitpid(pid, &status, WNOHANG) == pid; });
  if (!ended) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
  }
  return ended;
}

TEST(Shutdown, TerminationSavesTheTagListAndEndsAtOnce) {
  TempDir config;
  const std::string ini = config.path() + "/Dravikton.ini";
  const pid_t pid = StartProgram(config.path(), config.path() + "/stderr");
  // Start-up writes the option; wait for it, then ask the program to close.
  ASSERT_TRUE(WaitFor([&] { return ReadAll(ini).find("Option=1") != std::string::npos; }));
  EXPECT_EQ(ReadAll(ini).find("Tags="), std::string::npos);
  ::kill(pid, SIGTERM);
  int status = -1;
  EXPECT_TRUE(EndsByItself(pid, status));
  EXPECT_TRUE(WIFEXITED(status)) << status;
  EXPECT_NE(ReadAll(ini).find("Tags=<title></title>|Dravikton|keywords|Dravikton|"),
            std::string::npos);
}

// Settings that cannot be written: start-up reports it in a box, which nobody answers.
// Each close request from outside must still end the program, with the failed save on
// standard error instead of in yet another box.
TEST(Shutdown, ACloseRequestEndsTheProgramWhileAFailureBoxIsOpen) {
  XServer x;
  if (!x.ok()) GTEST_SKIP() << "needs Xvfb and xdotool (scripts/orvanel.sh installs them)";
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    TempDir config;
    std::filesystem::create_directory(config.path() + "/Dravikton.ini");  // not a file
    const std::string err = config.path() + "/stderr";
    const pid_t pid =
        StartProgram(config.path(), err, {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + x.display()});
    // Start-up is now waiting in its failure box; a program that ended instead fails the
    // test at once, with what it said.
    int status = -1;
    bool ended = false;
    const bool shown = WaitFor([&] {
      ended = ::waitpid(pid, &status, WNOHANG) == pid;
      return ended || x.FindWindow("^Application Error$").has_value();
    });
    ASSERT_FALSE(ended) << "the program ended before its box showed:\n" << ReadAll(err);
    EXPECT_TRUE(shown);
    ::kill(pid, signal);
    EXPECT_TRUE(EndsByItself(pid, status));
    EXPECT_TRUE(WIFEXITED(status)) << status;
    EXPECT_NE(ReadAll(err).find("Cannot save the setting Tags"), std::string::npos) << ReadAll(err);
    EXPECT_NE(ReadAll(err).find("Form_QueryUnload at line 108"), std::string::npos) << ReadAll(err);
  }
}

}  // namespace
}  // namespace orvanel
