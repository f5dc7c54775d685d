#include "firewall/scan_kernels.h"

#include <algorithm>
#include <array>
#include <cstring>

#if VELTAR_X86_KERNELS
#include <immintrin.h>
#endif

namespace veltar::firewall {
namespace {

// How far the masks look around a byte: three bytes before a U+0020 for
// phrases, two after a word start for keywords.
constexpr int kBytesBefore = 3;
constexpr int kBytesAfter = 2;
static_assert(-kSpacePhraseOffsets.front() <= kBytesBefore);
static_assert(kSpacePhraseOffsets.back() <= kBytesAfter);
static_assert(int(kKeywordStartBytes) - 1 <= kBytesAfter);

// Calls classify_window(w) with w[-kBytesBefore] to w[64 + kBytesAfter - 1]
// readable: the text itself, or at its ends a copy padded with zeros.
template <class ClassifyWindow>
BlockMasks with_window(const Byte* text, std::size_t size, std::size_t pos,
                       ClassifyWindow classify_window) {
  if (pos >= kBytesBefore && size - pos >= 64 + kBytesAfter) return classify_window(text + pos);
  Byte padded[kBytesBefore + 64 + kBytesAfter] = {};
  const std::size_t first = pos < kBytesBefore ? 0 : pos - kBytesBefore;
  const std::size_t last = std::min(size, pos + 64 + kBytesAfter);
  std::memcpy(padded + kBytesBefore - (pos - first), text + first, last - first);
  return classify_window(padded + kBytesBefore);
}

struct PortableKernel {
  static BlockMasks classify_window(const Byte* w) {
    BlockMasks m;
    for (unsigned i = 0; i < 64; ++i) {
      const std::uint64_t bit = std::uint64_t(1) << i;
      const Byte* const at = w + i;
      const Byte b = at[0];
      if (b >= 0x80) m.high |= bit;
      if (is_ascii_white(b)) m.white |= bit;
      if (is_ascii_special(b)) m.special |= bit;
      if (is_plain_anchor(b)) m.plain_anchor |= bit;
      Byte keyword = 0;
      Byte keyword_high = 0;
      for (const KeywordStartTables& t : kKeywordStarts) {
        Byte all = 0xFF;
        for (std::size_t j = 0; j < kKeywordStartBytes; ++j) all &= t.at[j].lookup(at[j]);
        keyword |= all;
      }
      for (std::size_t j = 1; j < kKeywordStartBytes; ++j) keyword_high |= at[j] & 0x80;
      if (keyword != 0 || keyword_high != 0) m.keyword |= bit;
      if (b != ' ') continue;
      Byte phrase = 0xFF;
      Byte high = 0;
      for (std::size_t j = 0; j < kSpacePhraseOffsets.size(); ++j) {
        const Byte near = at[kSpacePhraseOffsets[j]];
        phrase &= kSpacePhraseTables.at[j].lookup(near);
        high |= near & 0x80;
      }
      if (phrase != 0 || high != 0) m.phrase_space |= bit;
    }
    return m;
  }
};

#if VELTAR_X86_KERNELS

#define VELTAR_AVX2 gnu::target("avx2"), gnu::always_inline

struct Nibbles {
  __m256i low;
  __m256i high;
};

[[VELTAR_AVX2]] inline __m256i load32(const Byte* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

[[VELTAR_AVX2]] inline Nibbles nibbles(__m256i v) {
  const __m256i low_bits = _mm256_set1_epi8(0x0F);
  return {_mm256_and_si256(v, low_bits), _mm256_and_si256(_mm256_srli_epi16(v, 4), low_bits)};
}

[[VELTAR_AVX2]] inline __m256i lookup(const NibbleTable& t, const Nibbles& n) {
  const __m256i low =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.low.data())));
  const __m256i high =
      _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(t.high.data())));
  return _mm256_and_si256(_mm256_shuffle_epi8(low, n.low), _mm256_shuffle_epi8(high, n.high));
}

[[VELTAR_AVX2]] inline std::uint64_t sign_bits(__m256i v) {
  return std::uint32_t(_mm256_movemask_epi8(v));
}

[[VELTAR_AVX2]] inline std::uint64_t nonzero(__m256i v) {
  return ~std::uint32_t(_mm256_movemask_epi8(_mm256_cmpeq_epi8(v, _mm256_setzero_si256())));
}

[[VELTAR_AVX2]] inline std::uint64_t any_bits(__m256i v, Byte bits) {
  return nonzero(_mm256_and_si256(v, _mm256_set1_epi8(char(bits))));
}

struct Avx2Kernel {
  [[gnu::target("avx2")]] static BlockMasks classify_window(const Byte* w) {
    BlockMasks m;
    for (unsigned half = 0; half < 2; ++half) {
      const Byte* q = w + 32 * half;
      const __m256i x = load32(q);
      const Nibbles nx = nibbles(x);

      const __m256i cls = lookup(kClassTable.table, nx);
      const std::uint64_t high = sign_bits(x);
      const std::uint64_t space = sign_bits(_mm256_cmpeq_epi8(x, _mm256_set1_epi8(' ')));
      const std::uint64_t white = any_bits(cls, kClassTable.white) | space;
      const std::uint64_t plain = any_bits(cls, kClassTable.other_plain) | white;
      std::array<Nibbles, kKeywordStartBytes> starts{nx};
      __m256i start_high = _mm256_setzero_si256();
      for (std::size_t j = 1; j < kKeywordStartBytes; ++j) {
        const __m256i ahead = load32(q + j);
        starts[j] = nibbles(ahead);
        start_high = _mm256_or_si256(start_high, ahead);
      }
      __m256i keyword = _mm256_setzero_si256();
      for (const KeywordStartTables& t : kKeywordStarts) {
        __m256i all = lookup(t.at[0], starts[0]);
        for (std::size_t j = 1; j < kKeywordStartBytes; ++j) {
          all = _mm256_and_si256(all, lookup(t.at[j], starts[j]));
        }
        keyword = _mm256_or_si256(keyword, all);
      }
      __m256i phrase = _mm256_set1_epi8(char(0xFF));
      __m256i near_high = _mm256_setzero_si256();
      for (std::size_t j = 0; j < kSpacePhraseOffsets.size(); ++j) {
        const __m256i near = load32(q + kSpacePhraseOffsets[j]);
        phrase = _mm256_and_si256(phrase, lookup(kSpacePhraseTables.at[j], nibbles(near)));
        near_high = _mm256_or_si256(near_high, near);
      }

      const unsigned shift = 32 * half;
      m.high |= high << shift;
      m.white |= white << shift;
      m.special |= (~plain & ~high & 0xFFFFFFFFu) << shift;
      m.plain_anchor |= any_bits(cls, kClassTable.anchor) << shift;
      m.keyword |= (nonzero(keyword) | sign_bits(start_high)) << shift;
      m.phrase_space |= ((nonzero(phrase) | sign_bits(near_high)) & space) << shift;
    }
    return m;
  }
};

#define VELTAR_AVX512 gnu::target("avx512f,avx512bw"), gnu::always_inline

struct Nibbles512 {
  __m512i low;
  __m512i high;
};

[[VELTAR_AVX512]] inline Nibbles512 nibbles512(__m512i v) {
  const __m512i low_bits = _mm512_set1_epi8(0x0F);
  return {_mm512_and_si512(v, low_bits), _mm512_and_si512(_mm512_srli_epi16(v, 4), low_bits)};
}

// A nibble table repeated in each 16-byte lane, for 64-byte shuffles.
struct WideTable {
  alignas(64) std::array<Byte, 64> low{};
  alignas(64) std::array<Byte, 64> high{};
};

constexpr WideTable widen(const NibbleTable& t) {
  WideTable w;
  for (std::size_t i = 0; i < 64; ++i) {
    w.low[i] = t.low[i % 16];
    w.high[i] = t.high[i % 16];
  }
  return w;
}

template <std::size_t N>
constexpr std::array<WideTable, N> widen_all(const std::array<NibbleTable, N>& tables) {
  std::array<WideTable, N> wide{};
  for (std::size_t i = 0; i < N; ++i) wide[i] = widen(tables[i]);
  return wide;
}

constexpr WideTable kWideClass = widen(kClassTable.table);
constexpr std::array<std::array<WideTable, kKeywordStartBytes>, 2> kWideKeywordStarts = {
    widen_all(kKeywordStarts[0].at), widen_all(kKeywordStarts[1].at)};
constexpr auto kWideSpacePhrases = widen_all(kSpacePhraseTables.at);

[[VELTAR_AVX512]] inline __m512i lookup512(const WideTable& t, const Nibbles512& n) {
  const __m512i low = _mm512_load_si512(t.low.data());
  const __m512i high = _mm512_load_si512(t.high.data());
  return _mm512_and_si512(_mm512_shuffle_epi8(low, n.low), _mm512_shuffle_epi8(high, n.high));
}

// Bytes of v holding any of `bits`.
[[VELTAR_AVX512]] inline std::uint64_t has_bits(__m512i v, Byte bits) {
  return _mm512_test_epi8_mask(v, _mm512_set1_epi8(char(bits)));
}

// The 64 bytes at text[start], zero where they fall outside [0, size). A
// masked load touches no memory outside the mask, so no copy is needed at
// the ends of the text (a copy would stall the wide loads that read it).
[[VELTAR_AVX512]] inline __m512i load_around(const Byte* text, std::size_t size,
                                             std::ptrdiff_t start) {
  if (start >= 0 && std::size_t(start) <= size && size - std::size_t(start) >= 64) {
    return _mm512_loadu_si512(text + start);
  }
  const std::ptrdiff_t from = std::max<std::ptrdiff_t>(0, -start);
  const std::ptrdiff_t to = std::min<std::ptrdiff_t>(64, std::ptrdiff_t(size) - start);
  if (to <= from) return _mm512_setzero_si512();
  const __mmask64 lanes = bit_range(unsigned(from), unsigned(to));
  // Lanes below `from` lie before the text: the address is formed as an
  // integer, and those lanes are never read.
  const auto address =
      reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(text) + std::uintptr_t(start));
  return _mm512_maskz_loadu_epi8(lanes, address);
}

struct Avx512Kernel {
  [[gnu::target("avx512f,avx512bw")]] static BlockMasks classify(const Byte* text, std::size_t size,
                                                                 std::size_t pos) {
    const std::ptrdiff_t base = std::ptrdiff_t(pos);
    const __m512i x = load_around(text, size, base);
    const Nibbles512 nx = nibbles512(x);
    const __m512i cls = lookup512(kWideClass, nx);

    BlockMasks m;
    m.high = _mm512_movepi8_mask(x);
    const std::uint64_t space = _mm512_cmpeq_epi8_mask(x, _mm512_set1_epi8(' '));
    m.white = has_bits(cls, kClassTable.white) | space;
    m.special = ~(has_bits(cls, kClassTable.other_plain) | m.white | m.high);
    m.plain_anchor = has_bits(cls, kClassTable.anchor);
    std::array<Nibbles512, kKeywordStartBytes> starts{nx};
    __m512i start_high = _mm512_setzero_si512();
    for (std::size_t j = 1; j < kKeywordStartBytes; ++j) {
      const __m512i ahead = load_around(text, size, base + std::ptrdiff_t(j));
      starts[j] = nibbles512(ahead);
      start_high = _mm512_or_si512(start_high, ahead);
    }
    __m512i keyword = _mm512_setzero_si512();
    for (const auto& t : kWideKeywordStarts) {
      __m512i all = lookup512(t[0], starts[0]);
      for (std::size_t j = 1; j < kKeywordStartBytes; ++j) {
        all = _mm512_and_si512(all, lookup512(t[j], starts[j]));
      }
      keyword = _mm512_or_si512(keyword, all);
    }
    m.keyword = _mm512_test_epi8_mask(keyword, keyword) | _mm512_movepi8_mask(start_high);
    __m512i phrase = _mm512_set1_epi8(char(0xFF));
    __m512i near_high = _mm512_setzero_si512();
    for (std::size_t j = 0; j < kSpacePhraseOffsets.size(); ++j) {
      const __m512i around = load_around(text, size, base + kSpacePhraseOffsets[j]);
      phrase = _mm512_and_si512(phrase, lookup512(kWideSpacePhrases[j], nibbles512(around)));
      near_high = _mm512_or_si512(near_high, around);
    }
    m.phrase_space =
        (_mm512_test_epi8_mask(phrase, phrase) | _mm512_movepi8_mask(near_high)) & space;
    return m;
  }
};

#endif

}  // namespace

BlockMasks classify_block_portable(const Byte* text, std::size_t size, std::size_t pos) {
  return with_window(text, size, pos, PortableKernel::classify_window);
}

#if VELTAR_X86_KERNELS
BlockMasks classify_block_avx2(const Byte* text, std::size_t size, std::size_t pos) {
  return with_window(text, size, pos, Avx2Kernel::classify_window);
}

BlockMasks classify_block_avx512(const Byte* text, std::size_t size, std::size_t pos) {
  return Avx512Kernel::classify(text, size, pos);
}
#endif

}  // namespace veltar::firewall
