// Byte offsets of matches to str indices of the row, by the rule of
// fernquill_tools.char_offsets: a start inside a character moves back to it,
// an end inside a character moves past it, an offset at or past the scan
// text's end becomes the row's length in characters.
#pragma once

#include <span>
#include <string_view>

#include "keyword_processor/extract.hpp"

namespace fernquill::columns {

// Rewrites start and end of each match (offsets into `scan`, the scan text
// made from `row`) as character indices of `row`. Offsets are mapped in
// ascending order, so the cost is one walk of the row, counting eight bytes
// at a time; only overlapping matches need their offsets sorted first.
void to_char_offsets(std::string_view row, const ScanText& scan, std::span<KeywordMatch> matches);

}  // namespace fernquill::columns
