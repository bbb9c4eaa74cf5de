#include "workbook/ProgramLauncher.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "shell/Services.h"

namespace orvanel {
namespace {

bool OnPath(const std::string& name) {
  const char* path = std::getenv("PATH");
  if (!path) return false;
  std::string dirs = path;
  std::size_t start = 0;
  while (start <= dirs.size()) {
    std::size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    const std::string dir = dirs.substr(start, end - start);
    const std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
    if (::access(candidate.c_str(), X_OK) == 0) return true;
    start = end + 1;
  }
  return false;
}

}  // namespace

std::vector<std::vector<std::string>> SpreadsheetOpeners() {
  std::vector<std::vector<std::string>> openers;
  if (OnPath("xdg-open") && OnPath("xdg-mime")) {
    FILE* pipe = ::popen(
        "xdg-mime query default application/vnd.openxmlformats-officedocument.spreadsheetml.sheet "
        "2>/dev/null",
        "r");
    if (pipe) {
      char line[512] = {};
      const bool answered = std::fgets(line, sizeof line, pipe) != nullptr && line[0] != '\n';
      ::pclose(pipe);
      if (answered) openers.push_back({"xdg-open"});
    }
  }
  const std::vector<std::vector<std::string>> programs = {
      {"libreoffice", "--calc"}, {"localc"}, {"soffice", "--calc"}, {"gnumeric"}, {"et"}};
  for (const auto& program : programs) {
    if (OnPath(program[0])) openers.push_back(program);
  }
  return openers;
}

bool LaunchProgram(const std::vector<std::string>& argv, std::chrono::milliseconds grace,
                   EventPump* pump) {
  if (argv.empty()) return false;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own session: the spreadsheet outlives a terminal closed under the program.
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) return false;
  const auto deadline = std::chrono::steady_clock::now() + grace;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    if (done < 0 && errno != EINTR) return false;
    if (pump) pump->ProcessEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  // Still running: the application is up. Someone must collect it when it ends.
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

}  // namespace orvanel
