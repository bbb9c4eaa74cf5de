#pragma once

#include <cstddef>

namespace orvanel::utf8_wide {

// How far [p, p + n) is known to be made of whole, valid sequences, checked 32 bytes at a
// time with AVX2: a multiple of 32 before which every byte has been checked against the byte before
// it. The bytes of the block where a fault shows, and the tail of fewer than 32 bytes, are
// left to a byte-by-byte check. Call only when HaveAvx2().
std::size_t CheckedBlocks(const unsigned char* p, std::size_t n);

}  // namespace orvanel::utf8_wide
