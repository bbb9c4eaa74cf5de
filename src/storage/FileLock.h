#pragma once

#include <sys/file.h>

#include <cerrno>

namespace orvanel {

enum class LockResult {
  kLocked,      // this descriptor holds the lock until it is closed
  kBusy,        // another open file description (another run) holds it
  kUnsupported  // the file system has no locks (some network file systems)
};

// Takes an exclusive advisory lock on the whole file behind `fd`, without waiting. The
// kernel drops the lock when the holder's last descriptor for it closes, so a killed
// holder never keeps it.
inline LockResult TryLockExclusive(int fd) {
  int rc;
  do {
    rc = ::flock(fd, LOCK_EX | LOCK_NB);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return LockResult::kLocked;
  return errno == EWOULDBLOCK ? LockResult::kBusy : LockResult::kUnsupported;
}

}  // namespace orvanel
