#pragma once

#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace orvanel::testing {

// A small tmpfs mounted on a fresh folder, for tests of a full disk. Needs root; `ok()`
// tells whether the mount is there. It is unmounted when the object goes, whether the test
// passed, failed or threw.
class TmpfsMount {
 public:
  TmpfsMount(const std::string& folder, std::size_t kib) : folder_(folder) {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    if (::geteuid() != 0) return;
    const std::string options = "size=" + std::to_string(kib) + "k";
    mounted_ = ::mount("tmpfs", folder_.c_str(), "tmpfs", 0, options.c_str()) == 0;
  }
  ~TmpfsMount() {
    // A lazy unmount succeeds even while a file on it is still open.
    if (mounted_) ::umount2(folder_.c_str(), MNT_DETACH);
  }
  TmpfsMount(const TmpfsMount&) = delete;
  TmpfsMount& operator=(const TmpfsMount&) = delete;
  bool ok() const { return mounted_; }

 private:
  std::string folder_;
  bool mounted_ = false;
};

}  // namespace orvanel::testing
