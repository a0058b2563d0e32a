#include "text/word_chars.hpp"

#include <cstddef>

#include "text/utf8.hpp"

namespace fernquill {
namespace {
#include "word_tables.inc"
}  // namespace

bool is_unicode_word_char(std::uint32_t c) {
  if (c > utf8::kMaxCodePoint) return false;
  const auto& block = kWordBlocks[kWordBlockOf[c >> kWordBlockShift]];
  const std::uint32_t bit = c & kWordBlockMask;
  return ((block[bit / 64] >> (bit % 64)) & 1) != 0;
}

const char* word_tables_unicode_version() { return kWordTablesUnicodeVersion; }

}  // namespace fernquill
