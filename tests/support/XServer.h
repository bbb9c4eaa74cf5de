#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "Subprocess.h"

namespace orvanel::testing {

// The path of `program` on PATH, or the empty text.
inline std::string Which(const std::string& program) {
  const auto found = RunProgram({"/bin/sh", "-c", "command -v " + program});
  std::string path = found.out;
  while (!path.empty() && path.back() == '\n') path.pop_back();
  return path;
}

// Asks a process to end (Xvfb then removes its lock and socket), waits for it with a
// generous bound, then insists. Only ever a process the test started itself.
inline void StopProcess(pid_t pid) {
  ::kill(pid, SIGTERM);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < deadline) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Polls `done` until it is true or `bound` has passed; true when it came true. For
// waiting on something another process does, on a machine that may be busy.
inline bool WaitFor(const std::function<bool()>& done,
                    std::chrono::milliseconds bound = std::chrono::minutes(2)) {
  const auto deadline = std::chrono::steady_clock::now() + bound;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

// An X server of the test's own (Xvfb), on a display it picks itself; no TCP. Stopped when
// the object goes. ok() is false when Xvfb or xdotool is missing or did not start.
class XServer {
 public:
  explicit XServer(const std::string& screen = "1280x800x24") {
    const std::string xvfb = Which("Xvfb");
    xdotool_ = Which("xdotool");
    if (xvfb.empty() || xdotool_.empty()) return;
    int display_pipe[2];
    if (::pipe(display_pipe) != 0) return;
    // -noreset: by default the server resets each time its last client leaves, as after
    // every xdotool call, and a program connecting during the reset is turned away.
    pid_ = StartInBackground({xvfb, "-displayfd", std::to_string(display_pipe[1]), "-noreset",
                              "-nolisten", "tcp", "-screen", "0", screen});
    ::close(display_pipe[1]);
    // Xvfb writes the display's number once it accepts clients.
    std::string number;
    char c;
    while (::read(display_pipe[0], &c, 1) == 1 && c != '\n') number += c;
    ::close(display_pipe[0]);
    if (!number.empty()) display_ = ":" + number;
  }
  ~XServer() {
    if (pid_ > 0) StopProcess(pid_);
  }
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  bool ok() const { return !display_.empty(); }
  const std::string& display() const { return display_; }

  // Runs xdotool with `args` on this display; its standard output.
  std::string XDoTool(std::vector<std::string> args) const {
    args.insert(args.begin(), {"/usr/bin/env", "DISPLAY=" + display_, xdotool_});
    return RunProgram(args).out;
  }
  // The place and size of window `id` on the screen, by name: X, Y, WIDTH, HEIGHT.
  std::map<std::string, int> Geometry(const std::string& id) const {
    std::map<std::string, int> values;
    std::istringstream lines(XDoTool({"getwindowgeometry", "--shell", id}));
    for (std::string line; std::getline(lines, line);) {
      const auto eq = line.find('=');
      if (eq != std::string::npos) values[line.substr(0, eq)] = std::atoi(line.c_str() + eq + 1);
    }
    return values;
  }
  // The visible windows whose names match `pattern` (a regular expression).
  std::vector<std::string> FindWindows(const std::string& pattern) const {
    std::vector<std::string> ids;
    std::istringstream lines(XDoTool({"search", "--onlyvisible", "--name", pattern}));
    for (std::string id; std::getline(lines, id);) {
      if (!id.empty()) ids.push_back(id);
    }
    return ids;
  }
  // The first of them, if any.
  std::optional<std::string> FindWindow(const std::string& pattern) const {
    const auto ids = FindWindows(pattern);
    if (ids.empty()) return std::nullopt;
    return ids.front();
  }

 private:
  pid_t pid_ = -1;
  std::string display_;
  std::string xdotool_;
};

}  // namespace orvanel::testing
