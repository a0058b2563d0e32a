// The pickled form of one keyword match:
//   keyword length (8) | keyword UTF-8 (L) | similarity (4) | start (8) | end (8)
// 28 + L bytes, little-endian, no header.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "state/state_primitives.hpp"

namespace fernquill {

struct MatchFields {
  std::string keyword;
  float similarity;
  std::size_t start;
  std::size_t end;
};

constexpr std::size_t match_state_size(std::size_t keyword_bytes) { return 28 + keyword_bytes; }

// Fills `out`, which must be exactly match_state_size(keyword.size()) bytes.
void write_match_state(std::span<char> out, std::string_view keyword, float similarity,
                       std::size_t start, std::size_t end);

std::string encode_match_state(std::string_view keyword, float similarity, std::size_t start,
                               std::size_t end);

// Reads the four fields; bytes after them are ignored. Throws Fault with the
// failure's text on malformed input. `max_size` is the largest value a size
// field may hold (the pointer-sized maximum unless a test narrows it).
MatchFields decode_match_state(std::string_view state, std::uint64_t max_size = kMaxSizeField);

}  // namespace fernquill
