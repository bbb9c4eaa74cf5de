#pragma once
// What the tests of the runner recipes share: the recipes as the README and the man page
// print them, the page server, processes found through their parents, and waits bounded
// in time.
#include <dirent.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"
#include "TempDir.h"

namespace orvanel::testing {

inline std::string SourceDir() { return ORVANEL_SOURCE_DIR; }
inline std::string RecipesDir() { return SourceDir() + "/tests/cli/recipes"; }

// Polls `done` every 50 ms for at most `seconds`; true once it holds.
inline bool WaitUntil(const std::function<bool()>& done, int seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return true;
}

inline std::string Quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// "a command" run by /bin/sh in `folder`, the companion under test first on the PATH.
inline std::vector<std::string> InFolder(const std::string& folder, const std::string& command) {
  return {"/bin/sh", "-c",
          "PATH=" + Quoted(BinaryDir()) + ":\"$PATH\"; export PATH; cd " + Quoted(folder) + " && " +
              command};
}

inline bool Installed(const std::string& program) {
  return RunProgram({"/bin/sh", "-c", "command -v " + program}).status == 0;
}

// --- The recipes as printed ---------------------------------------------------------------

// The code blocks of the README's "Long runs" section, each line without its indentation.
inline std::vector<std::string> ReadmeBlocks() {
  std::istringstream in(ReadAll(SourceDir() + "/README.md"));
  std::vector<std::string> blocks;
  bool inside = false, in_block = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("## ", 0) == 0) inside = line == "## Long runs";
    const bool code = inside && line.rfind("    ", 0) == 0;
    if (code && !in_block) blocks.emplace_back();
    if (code) blocks.back() += line.substr(4) + "\n";
    if (!line.empty()) in_block = code;
  }
  return blocks;
}

// The .nf/.fi blocks of the man page's LONG RUNS section, with roff's escapes undone.
inline std::vector<std::string> ManBlocks() {
  std::istringstream in(ReadAll(SourceDir() + "/packaging/man/orvanel-extract.1"));
  std::vector<std::string> blocks;
  bool inside = false, in_block = false;
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(".SH ", 0) == 0) inside = line == ".SH LONG RUNS";
    if (inside && line == ".nf") {
      blocks.emplace_back();
      in_block = true;
    } else if (line == ".fi") {
      in_block = false;
    } else if (inside && in_block) {
      std::string plain;
      for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '-' || line[i + 1] == 'e')) {
          plain += line[i + 1] == '-' ? '-' : '\\';
          ++i;
        } else if (line.compare(i, 2, "\\&") == 0) {
          ++i;
        } else {
          plain += line[i];
        }
      }
      blocks.back() += plain + "\n";
    }
  }
  return blocks;
}

// The commands of a block: a line ending in a backslash joined with the next, with single
// spaces; comment lines and blank lines left out.
inline std::vector<std::string> Commands(const std::string& block) {
  std::vector<std::string> commands;
  std::istringstream in(block);
  std::string pending;
  for (std::string line; std::getline(in, line);) {
    const auto first = line.find_first_not_of(' ');
    if (first == std::string::npos || (pending.empty() && line[first] == '#')) continue;
    line = line.substr(first);
    const bool more = !line.empty() && line.back() == '\\';
    if (more) line.pop_back();
    while (!line.empty() && line.back() == ' ') line.pop_back();
    pending += (pending.empty() ? "" : " ") + line;
    if (!more) {
      commands.push_back(pending);
      pending.clear();
    }
  }
  return commands;
}

inline std::vector<std::string> ReadmeCommands() {
  std::vector<std::string> all;
  for (const auto& block : ReadmeBlocks()) {
    for (auto& c : Commands(block)) all.push_back(c);
  }
  return all;
}

// Whether `command` holds every fragment, and none of those written "!fragment".
inline bool Matches(const std::string& command, const std::vector<std::string>& fragments) {
  for (const auto& f : fragments) {
    const bool absent = !f.empty() && f[0] == '!';
    if ((command.find(absent ? f.substr(1) : f) == std::string::npos) != absent) return false;
  }
  return true;
}

// The one command of the README's "Long runs" section that matches the fragments; the
// test fails when there is not exactly one.
inline std::string Recipe(const std::vector<std::string>& fragments) {
  std::set<std::string> found;  // a command printed twice (run it, run it again) is one
  for (const auto& command : ReadmeCommands()) {
    if (Matches(command, fragments)) found.insert(command);
  }
  std::string wanted;
  for (const auto& f : fragments) wanted += " [" + f + "]";
  EXPECT_EQ(found.size(), 1u) << "README commands with" << wanted;
  return found.empty() ? "false" : *found.begin();
}

// The commands of the section, each named by fragments that only it holds. Every test
// takes the commands it runs from here, and the section has no command besides these.
namespace recipes {
using Fragments = std::vector<std::string>;
inline const Fragments kResume{"orvanel-extract --resume", "--failures failed.txt sites.txt"};
inline const Fragments kRetryFailures{"-o retried.jsonl failed.txt"};
inline const Fragments kOneMachine{"parallel", "> all-results.jsonl"};
inline const Fragments kSsh{"parallel", "--sshloginfile", "--results", "!--resume-failed"};
inline const Fragments kSshAgain{"parallel", "--sshloginfile", "--results", "--resume-failed"};
inline const Fragments kJoinPieces{"cat ", "piece-"};
inline const Fragments kSharedFolder{"parallel", "--sshloginfile", "--workdir ."};
inline const Fragments kShardNumber{"SLURM_ARRAY_TASK_ID"};
inline const Fragments kShard{"exec orvanel-extract --resume"};
inline const Fragments kSplit{"split -l 10000"};
inline const Fragments kTasks{"tasks=$(ls part-*"};
inline const Fragments kSubmit{"sbatch --wait --array"};
inline const Fragments kJoinShards{"cat ", "shard-"};
inline const std::vector<Fragments> kAll{
    kResume,      kRetryFailures, kOneMachine, kSsh,   kSshAgain, kJoinPieces, kSharedFolder,
    kShardNumber, kShard,         kSplit,      kTasks, kSubmit,   kJoinShards};
}  // namespace recipes

// `command` with every `from` replaced by `to`; the test fails when `from` is not there.
inline std::string Replaced(std::string command, const std::string& from, const std::string& to) {
  EXPECT_NE(command.find(from), std::string::npos) << from << " not in: " << command;
  for (auto at = command.find(from); at != std::string::npos;
       at = command.find(from, at + to.size())) {
    command.replace(at, from.size(), to);
  }
  return command;
}

// Pieces of 100 lines instead of 10,000, so that a short list makes many pieces.
inline std::string SmallPieces(const std::string& command) {
  return Replaced(command, "10000", "100");
}

// A dead host's addresses fail as "refused" in every process, however the list is split.
inline std::string EveryAddressTried(const std::string& command) {
  return Replaced(command, "orvanel-extract ", "orvanel-extract --host-errors 0 ");
}

// Where two outputs part: the first line that differs in each, for a failure's message.
inline std::string FirstDifference(const std::string& got, const std::string& wanted) {
  std::istringstream a(got), b(wanted);
  std::string x, y;
  for (int line = 1;; ++line) {
    const bool more_a = static_cast<bool>(std::getline(a, x));
    const bool more_b = static_cast<bool>(std::getline(b, y));
    if (!more_a && !more_b) return "no difference";
    if (x != y || more_a != more_b) {
      return "line " + std::to_string(line) + ":\n  got    " + (more_a ? x : "(end)") +
             "\n  wanted " + (more_b ? y : "(end)");
    }
  }
}

// --- Pages --------------------------------------------------------------------------------

// The page server of pages.py, on 127.0.0.1, stopped by its process id.
class PageServer {
 public:
  explicit PageServer(const std::string& folder, int slow_ms = 300)
      : ready_(folder + "/pages.ready") {
    std::filesystem::create_directories(folder);
    pid_ = StartInBackground(
        {"/usr/bin/python3", RecipesDir() + "/pages.py", ready_, std::to_string(slow_ms)});
    WaitUntil(
        [&] {
          return std::filesystem::exists(ready_) || ::waitpid(pid_, nullptr, WNOHANG) == pid_;
        },
        60);
    std::istringstream(ReadAll(ready_)) >> port_ >> dead_port_;
  }
  ~PageServer() {
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
  }
  bool Running() const { return port_ > 0; }
  pid_t Pid() const { return pid_; }
  int Peak() const { return std::atoi(ReadAll(ready_ + ".peak").c_str()); }
  // The shortest time between two requests that came, in milliseconds.
  double ShortestGapMs() const {
    std::istringstream in(ReadAll(ready_ + ".times"));
    double shortest = 1e9, last = -1;
    for (double t; in >> t; last = t) {
      if (last >= 0) shortest = std::min(shortest, (t - last) * 1000);
    }
    return shortest;
  }

  // Address i of a list of pages: one in 50 answers 404, one in 50 is on the dead host,
  // one in 4 is slow, the others are plain pages; the ports as given.
  static std::string Address(int i, const std::string& port, const std::string& dead_port) {
    const std::string n = std::to_string(i);
    if (i % 50 == 7) return "http://127.0.0.1:" + port + "/missing/" + n;
    if (i % 50 == 13) return "http://127.0.0.1:" + dead_port + "/p/" + n;
    return "http://127.0.0.1:" + port + (i % 4 == 1 ? "/slow/" : "/p/") + n;
  }
  std::string Address(int i) const {
    return Address(i, std::to_string(port_), std::to_string(dead_port_));
  }
  std::string List(int count) const {
    std::string list;
    for (int i = 0; i < count; ++i) list += Address(i) + "\n";
    return list;
  }

 private:
  std::string ready_;
  pid_t pid_ = -1;
  int port_ = 0;
  int dead_port_ = 0;
};

// --- Processes ----------------------------------------------------------------------------

inline std::vector<pid_t> Children(pid_t pid) {
  std::vector<pid_t> children;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = ::opendir(tasks.c_str());
  if (!dir) return children;
  while (const dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::istringstream in(ReadAll(tasks + "/" + entry->d_name + "/children"));
    for (pid_t child; in >> child;) children.push_back(child);
  }
  ::closedir(dir);
  return children;
}

inline std::vector<pid_t> Descendants(pid_t pid) {
  std::vector<pid_t> all = Children(pid);
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (pid_t child : Children(all[i])) all.push_back(child);
  }
  return all;
}

inline std::string Command(pid_t pid) {
  std::string name = ReadAll("/proc/" + std::to_string(pid) + "/comm");
  if (!name.empty() && name.back() == '\n') name.pop_back();
  return name;
}

inline bool RunsBelow(pid_t root, const std::string& name) {
  for (pid_t p : Descendants(root)) {
    if (Command(p) == name) return true;
  }
  return false;
}

// Ends `root` and everything below it at once, as a machine that is switched off: the
// processes are stopped first, so that none starts another or is left behind.
inline void KillTree(pid_t root) {
  std::set<pid_t> stopped{root};
  ::kill(root, SIGSTOP);
  for (int round = 0; round < 100; ++round) {
    bool more = false;
    for (pid_t p : Descendants(root)) {
      if (stopped.insert(p).second) {
        ::kill(p, SIGSTOP);
        more = true;
      }
    }
    if (!more) break;
  }
  for (pid_t p : stopped) ::kill(p, SIGKILL);
  ::waitpid(root, nullptr, 0);
}

// Processes whose parent ends come to this process instead of to init, so that a test
// can still find, and end, what its programs left running.
inline void AdoptOrphans() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

// Ends every process this test started and still runs (but `keep`), and collects them.
inline void EndEverythingStarted(pid_t keep = -1) {
  for (pid_t child : Children(::getpid())) {
    if (child != keep) KillTree(child);
  }
  while (::waitpid(-1, nullptr, WNOHANG) > 0) {
  }
}

// The lines of a job log of GNU parallel: sequence number to exit value, the last line of
// a sequence number counting; with `lines`, how many lines each sequence number has.
inline std::map<int, int> JobLog(const std::string& path, std::map<int, int>* lines = nullptr) {
  std::map<int, int> jobs;
  std::istringstream in(ReadAll(path));
  std::string line;
  std::getline(in, line);  // the header
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::vector<std::string> f;
    for (std::string field; std::getline(fields, field, '\t');) f.push_back(field);
    if (f.size() < 7) continue;
    jobs[std::atoi(f[0].c_str())] = std::atoi(f[6].c_str());
    if (lines) ++(*lines)[std::atoi(f[0].c_str())];
  }
  return jobs;
}

}  // namespace orvanel::testing
