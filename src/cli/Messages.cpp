#include "cli/Messages.h"

#include <unistd.h>

#include <cstring>

#include "text/Hex.h"
#include "text/Utf8.h"

namespace orvanel {

std::string Printable(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  while (!text.empty()) {
    const std::size_t length = Utf8SequenceLength(text);
    const auto first = static_cast<unsigned char>(text[0]);
    if (length == 0 || (length == 1 && (first < 0x20 || first == 0x7F))) {
      out += "\\x";
      AppendHexByte(out, first);
      text.remove_prefix(1);
      continue;
    }
    // U+0080-U+009F are C2 80 to C2 9F.
    if (length == 2 && first == 0xC2 && static_cast<unsigned char>(text[1]) < 0xA0) {
      out += "\\u00";
      AppendHexByte(out, static_cast<unsigned char>(text[1]));
    } else {
      out.append(text.substr(0, length));
    }
    text.remove_prefix(length);
  }
  return out;
}

namespace {

// Masks the password of the authority that starts at `start`; returns where it ends.
std::size_t MaskAuthorityAt(std::string& text, std::size_t start) {
  std::size_t end = start;
  while (end < text.size() && std::strchr("/?#\"'<> \t\r\n", text[end]) == nullptr) ++end;
  const std::size_t at = text.rfind('@', end == start ? start : end - 1);
  if (at == std::string::npos || at < start || at >= end) return end;
  const std::size_t colon = text.find(':', start);
  if (colon == std::string::npos || colon + 1 >= at) return end;
  text.replace(colon + 1, at - colon - 1, "***");
  return colon + 1 + 3 + (end - at);
}

}  // namespace

std::string MaskPasswords(std::string_view text, std::string_view address) {
  std::string out(text);
  if (!address.empty() && address.find("://") == std::string_view::npos) {
    for (std::size_t at = out.find(address); at != std::string::npos;
         at = out.find(address, at + 1)) {
      MaskAuthorityAt(out, at);
    }
  }
  for (std::size_t from = 0;;) {
    const std::size_t scheme_end = out.find("://", from);
    if (scheme_end == std::string::npos) return out;
    from = MaskAuthorityAt(out, scheme_end + 3);
  }
}

std::string CannotRead(const std::string& name, int error) {
  return "cannot read " + name + ": " + std::strerror(error);
}

std::string CannotWrite(const std::string& name, int error) {
  return "cannot write " + name + ": " + std::strerror(error);
}

void MessageStream::Raw(std::string_view bytes) const {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // ignored on purpose: see the class comment
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void MessageStream::Line(std::string_view text) const { Raw(Printable(text) + "\n"); }

void MessageStream::Say(std::string_view text) const {
  Raw("orvanel-extract: " + Printable(text) + "\n");
}

}  // namespace orvanel
