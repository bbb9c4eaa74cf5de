// The clean-up on SIGINT, SIGTERM and SIGHUP, in a child process of its own: the names
// covered at the signal go, those released or never covered stay, and the child ends by
// the signal itself.
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>
#include <functional>

#include "Subprocess.h"
#include "TempDir.h"
#include "cli/SignalCleanup.h"

namespace orvanel {
namespace {

using testing::TempDir;

// Runs `body` in a child with the clean-up installed, then sends it `sig`; the signal
// that ended it (0 if none did).
int EndedBy(int sig, const std::function<void()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    // As a program started from a shell: a signal the test runner ignores (nohup, a job in
    // the background) would otherwise stay ignored.
    testing::DefaultSignals();
    InstallSignalCleanup();
    body();
    ::raise(sig);
    ::_exit(0);
  }
  const int status = testing::WaitForExit(pid);
  return status > 128 ? status - 128 : 0;
}

bool Exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

TEST(RemoveOnSignal, OnlyTheNamesCoveredAtTheSignalGo) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    const std::string covered = dir.File("covered", "x");
    const std::string released = dir.File("released", "x");
    const std::string moved = dir.File("moved", "x");
    const std::string now = dir.File("now", "x");
    EXPECT_EQ(EndedBy(sig,
                      [&] {
                        static RemoveOnSignal a, b, c;
                        a.Cover(covered);
                        b.Cover(released);
                        b.Release();
                        c.Cover(moved);
                        c.Cover(now);  // a name covered anew leaves the old one
                      }),
              sig);
    EXPECT_FALSE(Exists(covered)) << sig;
    EXPECT_TRUE(Exists(released)) << sig;
    EXPECT_TRUE(Exists(moved)) << sig;
    EXPECT_FALSE(Exists(now)) << sig;
  }
}

// Released slots are free again: a long run covers and releases many names in turn.
TEST(RemoveOnSignal, SlotsReleasedAreUsedAgain) {
  TempDir dir;
  const std::string last = dir.File("last", "x");
  EXPECT_EQ(EndedBy(SIGTERM,
                    [&] {
                      for (int i = 0; i < 100; ++i) {
                        RemoveOnSignal r;
                        r.Cover(dir.path() + "/gone" + std::to_string(i));
                      }
                      static RemoveOnSignal kept;
                      kept.Cover(last);
                    }),
            SIGTERM);
  EXPECT_FALSE(Exists(last));
}

// A signal that comes while held waits, and the names it removes are those covered when
// it is let through.
TEST(SignalsHeld, HoldsEachSignalUntilItGoes) {
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) {
    TempDir dir;
    const std::string committed = dir.File("committed", "x");
    const std::string temp = dir.File("temp", "x");
    EXPECT_EQ(EndedBy(sig,
                      [&] {
                        static RemoveOnSignal a, b;
                        a.Cover(committed);
                        b.Cover(temp);
                        {
                          const SignalsHeld held;
                          ::raise(sig);  // held: the process goes on
                          a.Release();
                        }
                        ::_exit(0);  // not reached: the held signal ends it first
                      }),
              sig);
    EXPECT_TRUE(Exists(committed)) << sig;
    EXPECT_FALSE(Exists(temp)) << sig;
  }
}

}  // namespace
}  // namespace orvanel
