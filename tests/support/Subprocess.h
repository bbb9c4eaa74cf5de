#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace orvanel::testing {

// In a child before exec: the signals as a shell in the foreground leaves them, whatever
// the runner of the tests inherited (started in the background, it ignores SIGINT) or this
// process set (it ignores SIGPIPE while it writes to a child).
inline void DefaultSignals() {
  for (const int sig : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGPIPE}) ::signal(sig, SIG_DFL);
}

struct Finished {
  std::string out;
  std::string err;
  int status = -1;     // exit status, or 128 + signal
  long peak_kib = -1;  // the program's peak memory (resident)
};

// Runs `argv` with `input` on its standard input and collects both outputs. With
// `close_stdout_after` > 0, standard output is closed after that many bytes were read.
inline Finished RunProgram(const std::vector<std::string>& argv, const std::string& input = "",
                           std::size_t close_stdout_after = 0) {
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) std::abort();
  const pid_t pid = ::fork();
  if (pid == 0) {
    DefaultSignals();
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ::signal(SIGPIPE, SIG_IGN);
  std::size_t written = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  Finished f;
  int out_fd = out[0], err_fd = err[0];
  while (out_fd >= 0 || err_fd >= 0 || in[1] >= 0) {
    pollfd fds[3] = {{out_fd, POLLIN, 0}, {err_fd, POLLIN, 0}, {in[1], POLLOUT, 0}};
    if (::poll(fds, 3, 60'000) <= 0) break;
    char buffer[65536];
    for (int k = 0; k < 2; ++k) {
      int& fd = k == 0 ? out_fd : err_fd;
      if (fd < 0 || !(fds[k].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n <= 0) {
        ::close(fd);
        fd = -1;
        continue;
      }
      (k == 0 ? f.out : f.err).append(buffer, static_cast<std::size_t>(n));
      if (k == 0 && close_stdout_after > 0 && f.out.size() >= close_stdout_after) {
        ::close(fd);
        fd = -1;
      }
    }
    if (in[1] >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP))) {
      const ssize_t n = ::write(in[1], input.data() + written, input.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n <= 0 || written == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
  }
  int status = 0;
  rusage usage{};
  ::wait4(pid, &status, 0, &usage);
  f.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  f.peak_kib = usage.ru_maxrss;
  return f;
}

// Starts `argv` in the background with the extra environment (NAME=VALUE), standard
// output and error on /dev/null (standard input too, with `null_input`). It is asked to end
// (SIGTERM) should the test go first, killed by a time-out or a crash, so that no server
// of a test outlives it.
inline pid_t StartInBackground(const std::vector<std::string>& argv,
                               const std::vector<std::string>& env = {}, bool null_input = false) {
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(127);  // gone before the request was made
    DefaultSignals();
    for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
    const int null = ::open("/dev/null", O_RDWR);
    if (null_input) ::dup2(null, 0);
    ::dup2(null, 1);
    ::dup2(null, 2);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  return pid;
}

inline std::string BinaryDir() {
  const char* dir = std::getenv("ORVANEL_BINARY_DIR");
  return dir ? dir : ".";
}

// The companion program as built.
inline std::string ExtractProgram() { return BinaryDir() + "/orvanel-extract"; }

// Runs a shell command line in which $P is the companion program.
inline Finished Shell(const std::string& line, const std::string& input = "") {
  return RunProgram({"/bin/sh", "-c", "P='" + ExtractProgram() + "'; " + line}, input);
}

// Waits for `pid` to end; its exit status, or 128 + the signal that ended it.
inline int WaitForExit(pid_t pid) {
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace orvanel::testing
