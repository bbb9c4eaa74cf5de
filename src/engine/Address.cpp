#include "engine/Address.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

#include "engine/Charset.h"
#include "engine/TextSearch.h"
#include "text/Hex.h"

namespace orvanel {

bool IsExistingFile(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  // O_PATH opens without read or write access, like a query-only open.
  const int fd = ::open(path.c_str(), O_PATH | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st {};
  const bool is_file = ::fstat(fd, &st) == 0 && !S_ISDIR(st.st_mode);
  ::close(fd);
  return is_file;
}

bool PathExists(const std::string& path) {
  if (path.empty() || path.find('\0') != std::string::npos) return false;
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::string FileNameFromPath(const std::string& text) {
  if (!IsExistingFile(text)) return text;
  const std::size_t slash = text.rfind('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

std::string FileUrl(const std::string& path) {
  std::string absolute = path;
  if (path.empty() || path[0] != '/') {
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr) {
      absolute = std::string(cwd) + "/" + path;
    }
  }
  std::string url = "file://";
  for (unsigned char c : absolute) {
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                       c == '/' || c == '-' || c == '_' || c == '.' || c == '~' || c == '!' ||
                       c == '$' || c == '&' || c == '\'' || c == '(' || c == ')' || c == '*' ||
                       c == '+' || c == ',' || c == ';' || c == '=' || c == ':' || c == '@';
    if (plain) {
      url += static_cast<char>(c);
    } else {
      url += '%';
      AppendHexByte(url, static_cast<unsigned char>(c), /*upper=*/true);
    }
  }
  return url;
}

NormalisedAddress NormaliseAddress(const std::string& address, bool local_files) {
  if (local_files && IsExistingFile(address)) return {FileUrl(address), true};
  if (FindNoCase(address, "http") == kNotFound) return {"http://" + address, false};
  return {address, false};
}

NormalisedAddress AddressNormaliser::operator()(const std::string& address) {
  if (local_files_) {
    // "http:" or "https:" in any letter case, followed by "/".
    const std::size_t colon = address.find(':');
    const bool scheme_like =
        (colon == 4 || colon == 5) && colon + 1 < address.size() && address[colon + 1] == '/' &&
        FindNoCase(std::string_view(address).substr(0, colon), colon == 4 ? "http" : "https") == 0;
    if (scheme_like) {
      const std::string folder = address.substr(0, colon + 1);
      auto [it, fresh] = scheme_folder_exists_.try_emplace(folder, false);
      if (fresh) it->second = PathExists(folder);
      if (!it->second) return NormaliseAddress(address, /*local_files=*/false);
    }
  }
  return NormaliseAddress(address, local_files_);
}

std::string ByteArrayToText(std::string_view bytes) {
  const std::size_t nul = bytes.find('\0');
  if (nul != std::string_view::npos) bytes = bytes.substr(0, nul);
  return DecodeWindows1252(bytes);
}

std::string CannotBeExtractedMessage(const std::string& normalised_url) {
  return "URL " + normalised_url + " cannot be extracted.";
}

}  // namespace orvanel
