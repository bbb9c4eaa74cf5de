#pragma once

#include <signal.h>

#include <string>

namespace orvanel {

// SIGINT, SIGTERM and SIGHUP remove the names registered with RemoveOnSignal, then end the
// program as the signal would have. Installed once, by the program's main.
void InstallSignalCleanup();

// A file name that a signal removes while the object lives (a temporary file, a file the
// run made only to lock it). At most a handful at once; past that a name is not covered.
class RemoveOnSignal {
 public:
  RemoveOnSignal() = default;
  ~RemoveOnSignal() { Release(); }
  RemoveOnSignal(const RemoveOnSignal&) = delete;
  RemoveOnSignal& operator=(const RemoveOnSignal&) = delete;
  // A signal removes `path` from now on.
  void Cover(const std::string& path);
  // The name is no longer removed.
  void Release();

 private:
  int slot_ = -1;
};

// Holds SIGINT, SIGTERM and SIGHUP back on the calling thread while it lives: a signal
// that comes meanwhile is handled when it goes. Threads started meanwhile inherit the
// mask, so a fetcher made under it never takes these signals itself.
class SignalsHeld {
 public:
  SignalsHeld();
  ~SignalsHeld();
  SignalsHeld(const SignalsHeld&) = delete;
  SignalsHeld& operator=(const SignalsHeld&) = delete;

 private:
  sigset_t previous_;
};

}  // namespace orvanel
