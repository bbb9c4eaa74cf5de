#include "workbook/WorkbookFolder.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <vector>

#include "base/Failure.h"

namespace orvanel {
namespace {

constexpr std::string_view kPrefix = "Results-";
constexpr std::string_view kSuffix = ".xlsx";
constexpr std::size_t kStampLength = 17;  // "2024-05-01-140307"

std::string Stamp(std::time_t t) {
  std::tm local{};
  localtime_r(&t, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d-%H%M%S", &local);
  return text;
}

bool AllDigits(std::string_view s) {
  return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// The real paths of the regular files that some process has open, among `wanted`: the
// open descriptors of every process this user may look at. Those of others cannot be
// read, and are not ours to worry about.
std::set<std::string> OpenInSomeProcess(const std::set<std::string>& wanted) {
  std::set<std::string> open;
  DIR* proc = ::opendir("/proc");
  if (!proc) return open;
  while (const dirent* process = ::readdir(proc)) {
    if (!AllDigits(process->d_name)) continue;
    const std::string fds = std::string("/proc/") + process->d_name + "/fd";
    DIR* dir = ::opendir(fds.c_str());
    if (!dir) continue;
    while (const dirent* fd = ::readdir(dir)) {
      char target[4096];
      const ssize_t n = ::readlinkat(::dirfd(dir), fd->d_name, target, sizeof target);
      if (n <= 0 || static_cast<std::size_t>(n) == sizeof target) continue;
      const std::string path(target, static_cast<std::size_t>(n));
      if (wanted.count(path)) open.insert(path);
    }
    ::closedir(dir);
  }
  ::closedir(proc);
  return open;
}

}  // namespace

std::optional<std::time_t> ExportTimeOfWorkbook(std::string_view name) {
  if (name.size() < kPrefix.size() + kStampLength + kSuffix.size() ||
      name.substr(0, kPrefix.size()) != kPrefix ||
      name.substr(name.size() - kSuffix.size()) != kSuffix) {
    return std::nullopt;
  }
  const std::string_view stamp = name.substr(kPrefix.size(), kStampLength);
  const std::string_view rest = name.substr(
      kPrefix.size() + kStampLength, name.size() - kPrefix.size() - kStampLength - kSuffix.size());
  if (!rest.empty() && (rest[0] != '-' || !AllDigits(rest.substr(1)))) return std::nullopt;
  const auto number = [&](std::size_t at, std::size_t length) {
    const std::string_view digits = stamp.substr(at, length);
    return AllDigits(digits) ? std::atoi(std::string(digits).c_str()) : -1;
  };
  std::tm local{};
  local.tm_year = number(0, 4) - 1900;
  local.tm_mon = number(5, 2) - 1;
  local.tm_mday = number(8, 2);
  local.tm_hour = number(11, 2);
  local.tm_min = number(13, 2);
  local.tm_sec = number(15, 2);
  local.tm_isdst = -1;
  if (stamp[4] != '-' || stamp[7] != '-' || stamp[10] != '-' || local.tm_year < 0 ||
      local.tm_mon < 0 || local.tm_mday < 1 || local.tm_hour < 0 || local.tm_min < 0 ||
      local.tm_sec < 0) {
    return std::nullopt;
  }
  const std::time_t t = std::mktime(&local);
  if (t == static_cast<std::time_t>(-1) || Stamp(t) != stamp) return std::nullopt;
  return t;
}

std::string WorkbookFolder::UserPath() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && *cache == '/') return std::string(cache) + "/orvanel";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : ".") + "/.cache/orvanel";
}

std::string WorkbookFolder::NewWorkbook(std::time_t now) {
  std::error_code ec;
  if (!std::filesystem::is_directory(path_, ec)) {
    std::filesystem::create_directories(path_, ec);
    if (ec) throw Failure("Cannot create the folder " + path_ + ": " + ec.message());
    // Ignored on purpose when it fails: each workbook is the owner's only anyway.
    ::chmod(path_.c_str(), 0700);
  }
  const std::string stamp = Stamp(now);
  for (int n = 1; n < 1000; ++n) {
    const std::string path = path_ + "/" + std::string(kPrefix) + stamp +
                             (n > 1 ? "-" + std::to_string(n) : "") + std::string(kSuffix);
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
      ::close(fd);  // empty: nothing to lose at the close
      MarkExported(path);
      return path;
    }
    if (errno != EEXIST) {
      throw Failure("Cannot create the workbook " + path + ": " + std::strerror(errno));
    }
  }
  throw Failure("Cannot create a workbook in " + path_ + ": every name is taken");
}

void WorkbookFolder::MarkExported(const std::string& path) {
  const auto t = ExportTimeOfWorkbook(std::filesystem::path(path).filename().string());
  if (!t) return;
  const timespec times[2] = {{0, UTIME_OMIT}, {*t, 0}};
  ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);  // see the header
}

void WorkbookFolder::RemoveOld(std::time_t now) {
  DIR* dir = ::opendir(path_.c_str());
  if (!dir) return;
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
  ::closedir(dir);
  std::set<std::string> candidates;  // real paths
  for (const auto& name : names) {
    const auto t = ExportTimeOfWorkbook(name);
    if (!t || now - *t < kWorkbookGrace.count()) continue;
    const std::string path = path_ + "/" + name;
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    // Saved over since, unless empty: an export that could not write it (a full disk)
    // leaves no work of the user's in it.
    if ((st.st_mtim.tv_sec != *t || st.st_mtim.tv_nsec != 0) && st.st_size != 0) continue;
    if (::access((path_ + "/.~lock." + name + "#").c_str(), F_OK) == 0) continue;
    std::error_code ec;
    const auto real = std::filesystem::canonical(path, ec);
    if (!ec) candidates.insert(real.string());
  }
  if (candidates.empty()) return;
  const std::set<std::string> open = OpenInSomeProcess(candidates);
  for (const auto& path : candidates) {
    // A workbook that cannot be removed stays; ignored on purpose.
    if (!open.count(path)) ::unlink(path.c_str());
  }
}

}  // namespace orvanel
