#pragma once

#include <zstd.h>

#include <string>

namespace orvanel::testing {

// `text` in one zstd frame whose header asks for a window of 2^window_log bytes: fed to
// the compressor in two calls, its size is unknown when the header is written, and the
// window stays as asked.
inline std::string ZstdWithWindow(const std::string& text, int window_log) {
  ZSTD_CCtx* cctx = ZSTD_createCCtx();
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_windowLog, window_log);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 0);
  std::string out(ZSTD_compressBound(text.size()) + 64, '\0');
  ZSTD_outBuffer to{out.data(), out.size(), 0};
  const std::size_t first_part = text.size() < 100 ? text.size() : 100;
  ZSTD_inBuffer first{text.data(), first_part, 0};
  ZSTD_compressStream2(cctx, &to, &first, ZSTD_e_continue);
  ZSTD_inBuffer rest{text.data() + first_part, text.size() - first_part, 0};
  ZSTD_compressStream2(cctx, &to, &rest, ZSTD_e_end);
  out.resize(to.pos);
  ZSTD_freeCCtx(cctx);
  return out;
}

}  // namespace orvanel::testing
