#pragma once

#include <zlib.h>

#include <string>

namespace orvanel::testing {

// `text` in gzip (window_bits 31) or zlib (15) or raw deflate (-15), as servers send it.
inline std::string Deflate(const std::string& text, int window_bits = 31,
                           int level = Z_BEST_SPEED) {
  z_stream z{};
  deflateInit2(&z, level, Z_DEFLATED, window_bits, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, text.size()) + 64, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  z.avail_in = static_cast<uInt>(text.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

inline std::string Gzip(const std::string& text) { return Deflate(text, 31); }

}  // namespace orvanel::testing
