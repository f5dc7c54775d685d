// Block kernels of the heuristic scan: each classifies 64 bytes of a text
// into BlockMasks, reading the block's neighbours too, so that runs of bytes
// can be judged without state carried between blocks. Every kernel computes
// the same masks; they differ in instruction set only. Internal to the
// firewall unit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "firewall/scan_tables.h"

#if defined(__x86_64__)
#define VELTAR_X86_KERNELS 1
#else
#define VELTAR_X86_KERNELS 0
#endif

namespace veltar::firewall {

// Bits [from, to) of a 64-bit mask, 0 <= from <= to <= 64.
inline std::uint64_t bit_range(unsigned from, unsigned to) {
  const std::uint64_t below_to = to == 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << to) - 1;
  return below_to & ~((std::uint64_t(1) << from) - 1);
}

// Bit i describes byte pos + i of the text. Bytes outside the text count as
// zero bytes; bits past its end are meaningless.
struct BlockMasks {
  std::uint64_t high = 0;          // byte >= 0x80
  std::uint64_t white = 0;         // ASCII White_Space
  std::uint64_t special = 0;       // ASCII special character
  std::uint64_t plain_anchor = 0;  // is_plain_anchor
  // Bytes i to i + 2 may begin a keyword: they begin one (kKeywordStarts),
  // or byte i + 1 or i + 2 is >= 0x80.
  std::uint64_t keyword = 0;
  // U+0020 that may anchor a phrase: bytes i - 3, i - 2, i - 1 and i + 1 fit
  // a phrase of kSpacePhraseTables, or one of them is >= 0x80.
  std::uint64_t phrase_space = 0;
};

// Each classifies text[pos, pos + 64) of a text of `size` bytes, pos < size.
using ClassifyBlock = BlockMasks (*)(const Byte* text, std::size_t size, std::size_t pos);

BlockMasks classify_block_portable(const Byte* text, std::size_t size, std::size_t pos);

#if VELTAR_X86_KERNELS
// Need AVX2, and AVX-512 F and BW, respectively.
BlockMasks classify_block_avx2(const Byte* text, std::size_t size, std::size_t pos);
BlockMasks classify_block_avx512(const Byte* text, std::size_t size, std::size_t pos);
#endif

}  // namespace veltar::firewall
