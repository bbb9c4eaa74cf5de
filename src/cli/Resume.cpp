#include "cli/Resume.h"

#include <unistd.h>

#include <cstring>
#include <string_view>

#include "base/Failure.h"
#include "cli/JsonLines.h"
#include "storage/FileRead.h"

namespace orvanel {
namespace {

// FNV-1a, 64 bits; never 0, so that 0 can mean "cannot be told".
std::uint64_t Hash(std::string_view text) {
  std::uint64_t h = 1469598103934665603ull;
  for (const unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h == 0 ? 1 : h;
}

std::uint64_t KeyOfLine(bool jsonl, std::string_view line) {
  if (jsonl) {
    const auto end = line.find(",\"checked\":");
    return Hash(end == std::string_view::npos ? line : line.substr(0, end));
  }
  const auto tab = line.find('\t');
  return tab == std::string_view::npos ? 0 : Hash(line.substr(0, tab));
}

}  // namespace

std::uint64_t RowKey(bool jsonl, const std::string& address) {
  if (!jsonl) return Hash(address);
  std::string start = "{\"url\":";
  AppendJsonString(start, address);
  return Hash(start);
}

ResumePoint ReadResumePoint(int fd, const std::string& name, bool jsonl,
                            std::size_t rows_per_address) {
  ResumePoint point;
  std::string line;
  std::uint64_t offset = 0;  // bytes of whole lines so far
  std::uint64_t line_number = 0;
  std::size_t rows_of_address = 0;
  std::uint64_t address_key = 0;
  std::uint64_t address_line = 0;
  bool header_done = jsonl;
  auto whole_line = [&] {
    ++line_number;
    offset += line.size() + 1;
    if (!header_done) {
      header_done = true;
      point.keep_bytes = offset;
      return;
    }
    std::string_view text = line;
    if (!text.empty() && text.back() == '\r') text.remove_suffix(1);
    if (rows_of_address == 0) {
      address_key = KeyOfLine(jsonl, text);
      address_line = line_number;
    }
    if (++rows_of_address == rows_per_address) {
      point.keys.push_back(address_key);
      point.first_line.push_back(address_line);
      point.keep_bytes = offset;
      rows_of_address = 0;
    }
  };
  ::lseek(fd, 0, SEEK_SET);
  const int error = ReadChunks(fd, [&](std::string_view chunk) {
    while (!chunk.empty()) {
      const auto end = chunk.find('\n');
      if (end == std::string_view::npos) {
        line.append(chunk);
        return;
      }
      line.append(chunk.substr(0, end));
      whole_line();
      line.clear();
      chunk.remove_prefix(end + 1);
    }
  });
  if (error != 0) throw Failure("cannot read " + name + ": " + std::strerror(error));
  return point;
}

}  // namespace orvanel
