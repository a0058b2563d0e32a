// The word-character set: one bit per code point, held inline.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace fernquill {

class WordSet {
 public:
  static constexpr std::size_t kWords = 17408;  // 0x110000 bits / 64
  using Words = std::array<std::uint64_t, kWords>;

  // Exactly the ASCII letters and digits.
  void set_defaults();
  void clear() { words_.fill(0); }
  void add(std::uint32_t c) {
    if (c < kWords * 64) words_[c >> 6] |= std::uint64_t{1} << (c & 63);
  }
  bool contains(std::uint32_t c) const {
    return c < kWords * 64 && ((words_[c >> 6] >> (c & 63)) & 1) != 0;
  }
  const Words& words() const { return words_; }
  Words& words() { return words_; }

 private:
  Words words_{};
};

}  // namespace fernquill
