// Unicode word characters: the letters, marks and decimal digits (general
// categories L*, M* and Nd), from tables generated from the building
// interpreter's unicodedata, so that the test agrees with its `\w`-like
// notion of a letter.
#pragma once

#include <cstdint>

namespace fernquill {

// Whether code point `c` is a letter, a mark or a decimal digit. False for
// anything above U+10FFFF.
bool is_unicode_word_char(std::uint32_t c);

// The Unicode version the tables were generated from.
const char* word_tables_unicode_version();

}  // namespace fernquill
