// Read-only scan structure compiled from a processor's store.
#pragma once

#include <array>
#include <cstdint>

namespace fernquill {

class KeywordProcessor;

class ScanIndex {
 public:
  explicit ScanIndex(const KeywordProcessor& processor);
  const KeywordProcessor& processor() const { return processor_; }

  // 1 where the byte value is in the word-character set.
  const std::array<std::uint8_t, 256>& word_byte() const { return word_byte_; }

 private:
  const KeywordProcessor& processor_;
  std::array<std::uint8_t, 256> word_byte_{};
};

}  // namespace fernquill
