// Full Unicode lower-case mapping of UTF-8 text with the final-sigma rule,
// equal to Python's str.lower() of the interpreter that generated the tables.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
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

// True when every byte is ASCII: such text keeps its byte length, and each
// byte's position, when lower-cased.
inline bool is_ascii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t acc = 0;
  for (; n >= 32; p += 32, n -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, 32);
    acc |= w[0] | w[1] | w[2] | w[3];
    if (acc & 0x8080808080808080ull) return false;
  }
  for (; n > 0; ++p, --n) acc |= static_cast<unsigned char>(*p);
  return (acc & 0x8080808080808080ull) == 0;
}

inline std::string lower_utf8(std::string_view in) {
  std::string out;
  lower_utf8(in, out);
  return out;
}

}  // namespace fernquill
