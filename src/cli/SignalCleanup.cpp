#include "cli/SignalCleanup.h"

#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace orvanel {
namespace {

// Plain arrays, so that the handler reads them without calling anything unsafe. A slot is
// in use while its flag is set; the name is written before the flag.
constexpr int kSlots = 4;
char g_names[kSlots][PATH_MAX + 1] = {};
std::atomic<bool> g_used[kSlots] = {};

void OnSignal(int sig) {
  for (int i = 0; i < kSlots; ++i) {
    if (g_used[i].load()) ::unlink(g_names[i]);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

sigset_t CleanupSignals() {
  sigset_t set;
  sigemptyset(&set);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, sig);
  return set;
}

}  // namespace

void InstallSignalCleanup() {
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(sig, &action, nullptr);
}

void RemoveOnSignal::Cover(const std::string& path) {
  Release();
  if (path.empty() || path.size() > PATH_MAX) return;
  for (int i = 0; i < kSlots; ++i) {
    if (g_used[i].load()) continue;
    std::memcpy(g_names[i], path.c_str(), path.size() + 1);
    g_used[i].store(true);
    slot_ = i;
    return;
  }
}

void RemoveOnSignal::Release() {
  if (slot_ >= 0) g_used[slot_].store(false);
  slot_ = -1;
}

SignalsHeld::SignalsHeld() {
  const sigset_t set = CleanupSignals();
  ::pthread_sigmask(SIG_BLOCK, &set, &previous_);
}

SignalsHeld::~SignalsHeld() { ::pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace orvanel
