#include "engine/IconvDecode.h"

#include <iconv.h>

#include <cerrno>

#include "text/Utf8.h"

namespace orvanel {
namespace {

// Converts `bytes` with `cd`, handing the output to `sink` piece by piece; an invalid or
// cut sequence gives one replacement character and the conversion goes on after its first
// byte. Stops after the first NUL of the output (the text ends there anyway).
template <typename Sink>
void Convert(iconv_t cd, std::string_view bytes, Sink&& sink) {
  iconv(cd, nullptr, nullptr, nullptr, nullptr);
  char buffer[16384];
  char* in = const_cast<char*>(bytes.data());
  std::size_t in_left = bytes.size();
  while (in_left > 0) {
    char* outp = buffer;
    std::size_t out_left = sizeof buffer;
    const std::size_t rc = iconv(cd, &in, &in_left, &outp, &out_left);
    const std::string_view piece(buffer, static_cast<std::size_t>(outp - buffer));
    const std::size_t nul = piece.find('\0');
    if (nul != std::string_view::npos) {
      sink(piece.substr(0, nul));
      return;
    }
    sink(piece);
    if (rc == static_cast<std::size_t>(-1)) {
      if (errno == E2BIG) continue;
      sink(kReplacementCharacter);
      ++in;
      --in_left;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
}

}  // namespace

// Two passes, the first only counting: the text is allocated once at its exact size, so
// decoding a page holds the page and its text and nothing more (a page of invalid bytes
// triples in size as replacement characters; growing a buffer for that would double it
// again).
std::string DecodeWithIconv(std::string_view bytes, const std::string& charset) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return DecodeWindows1252(bytes);
  std::size_t total = 0;
  Convert(cd, bytes, [&](std::string_view piece) { total += piece.size(); });
  std::string out;
  out.reserve(total);
  Convert(cd, bytes, [&](std::string_view piece) { out.append(piece); });
  iconv_close(cd);
  // iconv writes valid UTF-8; should a converter not, the text is made valid.
  if (ValidUtf8Prefix(out) != out.size()) out = SanitiseUtf8(out);
  return out;
}

bool IconvKnows(const std::string& charset) {
  iconv_t cd = iconv_open("UTF-8", charset.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

}  // namespace orvanel
