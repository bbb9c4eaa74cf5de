#include "storage/Links.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "base/Failure.h"

namespace orvanel {

namespace {
constexpr int kMaxLinks = 40;
}  // namespace

std::string FollowLinks(const std::string& path) {
  std::filesystem::path current = path;
  for (int links = 0; links <= kMaxLinks; ++links) {
    struct stat st {};
    if (::lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return current.string();
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::read_symlink(current, ec);
    if (ec) throw Failure(ec.message());
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  throw Failure(std::strerror(ELOOP));
}

}  // namespace orvanel
