// The limits of an approximate plan and its prints: the few bytes of a piece
// looked up in the text, their key, hash and tag, and the run encoding of
// the print table. Shared by the plan's building and its scan for hits.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace fernquill::plan_detail {

// Largest edit budget a keyword may have for the filter to be built.
constexpr std::uint32_t kMaxBudget = 15;
// Length of the fingerprint looked up for each piece (a whole piece when
// shorter).
constexpr std::uint32_t kPrint = 4;
// Bytes of a piece compared in one load.
constexpr std::size_t kHead = 8;

inline std::uint64_t print_key(const std::uint8_t* p, std::uint32_t len) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, len);
  return (std::uint64_t{len} << 32) | v;
}

inline std::uint32_t print_hash(std::uint64_t key, std::uint32_t bits) {
  return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

// A run of the print table holds the entries of one hash; its first word
// keeps the run's start in the low kRunBits bits and, above them, one tag
// bit per print in the run: bit print_tag(key) of the hash bits that
// follow the bucket's. A print whose tag bit is clear is in no entry, so
// most prints that merely share a bucket are passed over without a look
// at the entries.
constexpr std::uint32_t kRunBits = 24;
constexpr std::uint32_t kRunMask = (std::uint32_t{1} << kRunBits) - 1;
constexpr std::uint32_t kTagBits = 3;  // 8 tags, in the top 8 bits

inline std::uint32_t print_tag(std::uint64_t key, std::uint32_t bits) {
  const std::uint64_t h = key * 0x9E3779B97F4A7C15ull;
  return static_cast<std::uint32_t>(h >> (64 - bits - kTagBits)) & ((1u << kTagBits) - 1);
}

}  // namespace fernquill::plan_detail
