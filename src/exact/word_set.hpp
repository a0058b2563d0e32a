// The word-character set: one bit per code point, held inline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "text/utf8.hpp"

namespace fernquill {

class WordSet {
 public:
  static constexpr std::size_t kBitsPerWord = 64;
  // One bit per code point: 17,408 words.
  static constexpr std::size_t kWords = (utf8::kMaxCodePoint + 1) / kBitsPerWord;
  using Words = std::array<std::uint64_t, kWords>;

  // Exactly the ASCII letters and digits.
  void set_defaults();
  void clear() { words_.fill(0); }
  void add(std::uint32_t c) {
    if (c < kWords * kBitsPerWord)
      words_[c / kBitsPerWord] |= std::uint64_t{1} << (c % kBitsPerWord);
  }
  bool contains(std::uint32_t c) const {
    return c < kWords * kBitsPerWord && ((words_[c / kBitsPerWord] >> (c % kBitsPerWord)) & 1) != 0;
  }
  const Words& words() const { return words_; }
  Words& words() { return words_; }

 private:
  Words words_{};
};

}  // namespace fernquill
