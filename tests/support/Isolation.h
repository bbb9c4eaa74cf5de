#pragma once

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>

namespace orvanel::testing {

// Moves the calling (single-threaded) process into a network namespace of its own, where
// no interface is up: a name look-up there fails at once and nothing leaves the machine.
// As root this needs only CLONE_NEWNET; otherwise a user namespace maps us to root first.
inline bool EnterIsolatedNetwork() {
  if (::unshare(CLONE_NEWNET) == 0) return true;
  const uid_t uid = ::geteuid();
  const gid_t gid = ::getegid();
  if (::unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) return false;
  auto write = [](const char* path, const std::string& text) {
    const int fd = ::open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    ::close(fd);
    return ok;
  };
  write("/proc/self/setgroups", "deny");
  return write("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1\n") &&
         write("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1\n");
}

// Brings up the loopback interface of the network the process is in (a new one has it
// down). Returns whether it is up.
inline bool BringUpLoopback() {
  const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return false;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  bool ok = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
  request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP | IFF_RUNNING);
  ok = ok && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
  ::close(s);
  return ok;
}

// Runs `body` in a child process inside an isolated network. Returns the child's exit
// status, or -1 when no isolated network can be had here.
inline int RunInIsolatedNetwork(const std::function<int()>& body) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!EnterIsolatedNetwork()) ::_exit(77);
    ::_exit(body());
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (!WIFEXITED(status)) return 128;
  return WEXITSTATUS(status) == 77 ? -1 : WEXITSTATUS(status);
}

// Runs `body` in a child process inside an isolated network whose loopback is up: it may
// serve pages to itself on 127.0.0.1, and nothing else is reachable, not even a name
// server. Returns the child's exit status, or -1 when no isolated network can be had.
inline int RunOnIsolatedLoopback(const std::function<int()>& body) {
  return RunInIsolatedNetwork([&] { return BringUpLoopback() ? body() : 76; });
}

}  // namespace orvanel::testing
