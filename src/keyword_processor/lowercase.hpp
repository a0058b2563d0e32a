// Full Unicode lower-case mapping of UTF-8 text with the final-sigma rule,
// equal to Python's str.lower() of the interpreter that generated the tables.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace fernquill {

// Appends lower(in) to out. `in` must be valid UTF-8. Returns true when every
// character kept its byte length (then offsets into the output are offsets
// into the input).
bool lower_utf8(std::string_view in, std::string& out);

// As above; when some character changes byte length, also fills `origin`
// with one entry per output byte: the offset in `in` of the first byte of the
// character that produced it. `origin` is left empty when the function
// returns true.
bool lower_utf8(std::string_view in, std::string& out, std::vector<std::size_t>& origin);

inline std::string lower_utf8(std::string_view in) {
  std::string out;
  lower_utf8(in, out);
  return out;
}

}  // namespace fernquill
