// The ssh recipes of the README's "Long runs" section, run as printed against two machines
// on this one: two sshd on 127.0.0.1 with a key pair made here, each login in a home folder
// of its own. One machine is switched off while it runs a piece; the rows joined at the end
// are those of one plain run.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "RecipeSupport.h"

namespace orvanel {
namespace {

using namespace orvanel::testing;

// A port that was free a moment ago.
int FreePort() {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  ::bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  ::close(fd);
  return ntohs(address.sin_port);
}

// Why the machines cannot be had here, or "" when they can.
std::string WhyNoMachines() {
  for (const char* path : {"/usr/sbin/sshd", "/usr/bin/ssh", "/usr/bin/ssh-keygen"}) {
    if (::access(path, X_OK) != 0)
      return std::string(path) + " is missing (packages openssh-server, openssh-client)";
  }
  if (!Installed("parallel")) return "GNU parallel is not installed (package parallel)";
  if (::access("/usr/bin/python3", X_OK) != 0)
    return "/usr/bin/python3 is missing (package python3)";
  if (::geteuid() == 0) {
    // sshd run by root wants /run/sshd: it gets a /run of its own.
    if (RunProgram({"/usr/bin/unshare", "--mount", "/bin/true"}).status != 0)
      return "no mount namespace can be had";
    return "";
  }
  const passwd* user = ::getpwuid(::geteuid());
  const std::string shell = user && user->pw_shell ? user->pw_shell : "";
  const std::string name = std::filesystem::path(shell).filename();
  if (shell.empty() || name == "nologin" || name == "false" || ::access(shell.c_str(), X_OK) != 0) {
    return "this user's login shell (" + shell +
           ") runs no command, so sshd lets nobody log in as this user";
  }
  return "";
}

class RecipesSshTest : public ::testing::Test {
 protected:
  struct Machine {
    std::string name;
    pid_t pid = -1;
  };

  void SetUp() override {
    const std::string why = WhyNoMachines();
    if (!why.empty()) GTEST_SKIP() << why;
    AdoptOrphans();
    ASSERT_TRUE(pages_.Running());
    ssh_ = dir_.path() + "/ssh";
    std::filesystem::create_directories(ssh_);
    std::filesystem::create_directories(work_ + "/home");
    for (const char* key : {"host", "user"}) {
      const auto made = RunProgram(
          {"/usr/bin/ssh-keygen", "-q", "-t", "ed25519", "-N", "", "-f", ssh_ + "/" + key});
      ASSERT_EQ(made.status, 0) << made.err;
    }
    std::filesystem::copy_file(ssh_ + "/user.pub", ssh_ + "/authorized_keys");
    dir_.File("work/all-sites.txt", pages_.List(1200));
    plain_ = RunProgram({BinaryDir() + "/orvanel-extract", "-q", "-f", "jsonl", "--host-errors",
                         "0", work_ + "/all-sites.txt"})
                 .out;
    ASSERT_EQ(std::count(plain_.begin(), plain_.end(), '\n'), 1200);
    for (const char* name : {"machine-a", "machine-b"}) {
      machines_.push_back(Start(name));
      ASSERT_GT(machines_.back().pid, 0) << name << " did not let us in; its log:\n"
                                         << ReadAll(ssh_ + "/" + name + ".log");
    }
    dir_.File("work/hosts.txt", "machine-a\nmachine-b\n");
  }
  ~RecipesSshTest() override { EndEverythingStarted(pages_.Pid()); }

  // An sshd on 127.0.0.1 that ssh reaches as `name` through the test's client settings;
  // its pid is -1 when no login went through in a minute, after three ports were tried.
  // HOME is the machine's own folder, so the login shell sshd starts reads no start-up file
  // of this user's: one that runs a tool at each login (pyenv's rehash takes a lock) would
  // make each login slow, and one cut off by the switched-off machine could stall the rest.
  Machine Start(const std::string& name) {
    const std::string home = dir_.path() + "/" + name;
    std::filesystem::create_directories(home);
    for (int attempt = 0; attempt < 3; ++attempt) {
      const std::string port = std::to_string(FreePort());
      const std::string config =
          dir_.File("ssh/" + name + ".conf",
                    "ListenAddress 127.0.0.1\nPort " + port + "\nHostKey " + ssh_ +
                        "/host\nAuthorizedKeysFile " + ssh_ +
                        "/authorized_keys\nPidFile none\nUsePAM no\nUseDNS no\nStrictModes no\n"
                        "PasswordAuthentication no\nKbdInteractiveAuthentication "
                        "no\nPermitRootLogin prohibit-password\n"
                        "SetEnv \"HOME=" +
                        home + "\" \"MACHINE_HOME=" + home + "\" \"MACHINE_BIN=" + BinaryDir() +
                        "\"\n"
                        "ForceCommand " +
                        Quoted(RecipesDir() + "/machine.sh") + "\nLogLevel ERROR\n");
      ports_[name] = port;
      WriteClientSettings();
      const std::string sshd = "exec /usr/sbin/sshd -D -e -f " + Quoted(config) + " 2>>" +
                               Quoted(ssh_ + "/" + name + ".log");
      const pid_t pid =
          ::geteuid() == 0
              ? StartInBackground(
                    {"/usr/bin/unshare", "--mount", "--propagation", "private", "/bin/sh", "-c",
                     "mount -t tmpfs -o mode=755 tmpfs /run && mkdir /run/sshd && " + sshd})
              : StartInBackground({"/bin/sh", "-c", sshd});
      bool died = false;
      const bool in = WaitUntil(
          [&] {
            died = ::waitpid(pid, nullptr, WNOHANG) == pid;
            return died ||
                   RunProgram({"/usr/bin/ssh", "-F", ssh_ + "/config", name, "true"}).status == 0;
          },
          60);
      if (in && !died) return {name, pid};
      if (!died) KillTree(pid);  // a port taken in the meantime, or a stuck start: another port
    }
    return {name, -1};
  }

  void WriteClientSettings() {
    std::string settings;
    for (const auto& [name, port] : ports_) {
      settings += "Host " + name + "\n  HostName 127.0.0.1\n  Port " + port + "\n";
    }
    dir_.File("ssh/config", settings + "Host *\n  User " + ::getpwuid(::geteuid())->pw_name +
                                "\n  IdentityFile " + ssh_ +
                                "/user\n  IdentitiesOnly yes\n  BatchMode yes\n"
                                "  StrictHostKeyChecking no\n  UserKnownHostsFile /dev/null\n"
                                "  ConnectTimeout 10\n  LogLevel ERROR\n");
  }

  // A recipe as the README prints it, in pieces of 100 lines, a dead host's addresses tried
  // in every piece, parallel reaching the machines through the test's client settings.
  std::vector<std::string> Run(const std::string& recipe, const std::string& errors) {
    return InFolder(work_, "HOME=" + Quoted(work_ + "/home") +
                               " PARALLEL_SSH=" + Quoted("ssh -F " + ssh_ + "/config") +
                               "; export HOME PARALLEL_SSH; exec " +
                               EveryAddressTried(SmallPieces(recipe)) + " 2>" + Quoted(errors));
  }

  // Waits until a piece has finished and machine-b is running one, and switches it off.
  void SwitchOffMachineBWhileItRunsAPiece(pid_t run) {
    const bool busy = WaitUntil(
        [&] {
          return !JobLog(work_ + "/jobs.log").empty() &&
                 RunsBelow(machines_[1].pid, "orvanel-extract");
        },
        240);
    ASSERT_TRUE(busy) << "machine-b ran no piece after the first had finished";
    ASSERT_NE(::waitpid(run, nullptr, WNOHANG), run)
        << "the run ended before machine-b was switched off";
    KillTree(machines_[1].pid);
    EXPECT_EQ(RunProgram({"/usr/bin/ssh", "-F", ssh_ + "/config", "machine-b", "true"}).status, 255)
        << "machine-b still answers";
  }

  int Join() { return RunProgram(InFolder(work_, Recipe(recipes::kJoinPieces))).status; }

  TempDir dir_;
  PageServer pages_{dir_.path()};
  std::string work_ = dir_.path() + "/work";
  std::string ssh_;
  std::map<std::string, std::string> ports_;  // of the machines, by name
  std::string plain_;
  std::vector<Machine> machines_;
};

TEST_F(RecipesSshTest, AMachineLostAndARunInterruptedEndWithTheRowsOfOnePlainRun) {
  const pid_t run = StartInBackground(Run(Recipe(recipes::kSsh), work_ + "/first.err"), {}, true);
  SwitchOffMachineBWhileItRunsAPiece(run);
  // The run goes on without machine-b; interrupted once one more piece has finished.
  const std::size_t before = JobLog(work_ + "/jobs.log").size();
  ASSERT_TRUE(WaitUntil([&] { return JobLog(work_ + "/jobs.log").size() > before; }, 240))
      << "no piece finished after machine-b was lost\n"
      << ReadAll(work_ + "/first.err");
  ::kill(run, SIGINT);
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(run, nullptr, WNOHANG) == run; }, 120))
      << "parallel went on after ^C";
  const auto finished = JobLog(work_ + "/jobs.log");
  ASSERT_LT(finished.size(), 12u) << "nothing was left for the second run";

  // The same command with --resume-failed, machine-b deleted from hosts.txt.
  dir_.File("work/hosts.txt", "machine-a\n");
  const auto again = RunProgram(Run(Recipe(recipes::kSshAgain), work_ + "/again.err"));
  EXPECT_EQ(again.status, 0) << ReadAll(work_ + "/again.err");
  std::map<int, int> lines;
  const auto jobs = JobLog(work_ + "/jobs.log", &lines);
  for (int piece = 1; piece <= 12; ++piece) {
    EXPECT_EQ(jobs.count(piece) ? jobs.at(piece) : -1, 0) << "piece " << piece;
    const bool done_before = finished.count(piece) && finished.at(piece) == 0;
    if (done_before) {
      EXPECT_EQ(lines[piece], 1) << "piece " << piece << " ran again";
    }
  }
  // Piece 1 holds a page that answers 404: its message is beside its rows.
  EXPECT_NE(ReadAll(work_ + "/piece-1.jsonl.err").find("/missing/7"), std::string::npos);
  ASSERT_EQ(Join(), 0);
  const std::string joined = ReadAll(work_ + "/all-results.jsonl");
  EXPECT_TRUE(joined == plain_) << "the joined pieces differ from one plain run, "
                                << FirstDifference(joined, plain_);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path() + "/machine-a"))
      << "something was left on machine-a";
}

TEST_F(RecipesSshTest, MachinesSharingAFolderWriteThePiecesIntoIt) {
  const pid_t run =
      StartInBackground(Run(Recipe(recipes::kSharedFolder), work_ + "/shared.err"), {}, true);
  SwitchOffMachineBWhileItRunsAPiece(run);
  int status = -1;
  ASSERT_TRUE(WaitUntil([&] { return ::waitpid(run, &status, WNOHANG) == run; }, 300));
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ReadAll(work_ + "/shared.err");
  ASSERT_EQ(Join(), 0);
  const std::string joined = ReadAll(work_ + "/all-results.jsonl");
  EXPECT_TRUE(joined == plain_) << "the joined pieces differ from one plain run, "
                                << FirstDifference(joined, plain_);
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path() + "/machine-a"))
      << "a piece was written outside the folder";
}

}  // namespace
}  // namespace orvanel
