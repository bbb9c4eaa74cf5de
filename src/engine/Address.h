#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

namespace orvanel {

// True when `path` names an existing file (not a folder) that can be opened: a query-only
// open and close. Never reports anything.
bool IsExistingFile(const std::string& path);

// True when `path` names an existing file or folder. Never reports anything.
bool PathExists(const std::string& path);

// For a local file path, the part after its last "/"; any other text comes back whole.
std::string FileNameFromPath(const std::string& text);

// An address turned into what the transfer is given.
struct NormalisedAddress {
  std::string url;
  bool local_file = false;
};

// A local file becomes "file://" + its absolute path, percent-encoded where a URL cannot
// carry the character; an address without "http" anywhere (any letter case) gets
// "http://" in front; anything else is used unchanged.
// Without `local_files`, no address is taken for a local path.
NormalisedAddress NormaliseAddress(const std::string& address, bool local_files = true);

// NormaliseAddress over a run of many addresses. An address such as "https://host/page"
// names a local file only through a folder "https:" in the working folder; whether that
// folder exists is looked up once a run for each spelling of "http:" and "https:", and
// while it does not, such an address is taken for a URL without a look at the disk.
class AddressNormaliser {
 public:
  explicit AddressNormaliser(bool local_files) : local_files_(local_files) {}
  NormalisedAddress operator()(const std::string& address);

 private:
  bool local_files_;
  std::unordered_map<std::string, bool> scheme_folder_exists_;  // at most 48 spellings
};

// "file://" + the absolute form of `path`, percent-encoded.
std::string FileUrl(const std::string& path);

// Text of a document's bytes: decoded, and cut just before the first NUL.
// (The decoding itself is in Charset.h; this is the plain windows-1252 reading.)
std::string ByteArrayToText(std::string_view bytes);

// The message for an address whose document cannot be had.
std::string CannotBeExtractedMessage(const std::string& normalised_url);

}  // namespace orvanel
