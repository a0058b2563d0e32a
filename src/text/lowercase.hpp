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

// Maps offsets in lower(text) back to the characters of `text` that made
// them, for a text where some character changes byte length. It walks the
// text forward once, deriving each character's lengths from the case tables,
// so it needs no memory beyond its position; offsets must be asked in
// ascending order.
class LoweredOffsets {
 public:
  explicit LoweredOffsets(std::string_view text) : text_(text) {}
  // Moves to the character whose lower case holds byte `s` of lower(text),
  // which must exist and be at or after the previous one sought.
  void seek(std::size_t s);
  // Where that character starts in `text`, and its length there.
  std::size_t input_offset() const { return input_; }
  std::size_t input_length() const { return input_len_; }
  // Where that character's lower case starts in lower(text).
  std::size_t scan_offset() const { return scan_; }

 private:
  std::string_view text_;
  std::size_t input_ = 0;  // a character's start in text_
  std::size_t scan_ = 0;   // the start of its lower case
  std::size_t input_len_ = 0;
};

// The ASCII lower case of a byte; other bytes unchanged.
constexpr unsigned char ascii_lower(unsigned char b) {
  return static_cast<unsigned char>(b >= 'A' && b <= 'Z' ? b + ('a' - 'A') : b);
}

// True when every byte is ASCII: such text keeps its byte length, and each
// byte's position, when lower-cased.
// Short texts (column rows, records) are common: the tail is read as two
// overlapping words rather than byte by byte.
inline bool is_ascii(std::string_view text) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t acc = 0;
  for (; n >= 32; p += 32, n -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, 32);
    acc |= w[0] | w[1] | w[2] | w[3];
    if (acc & kHighBits) return false;
  }
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    acc |= w;
  }
  if (n >= 4) {
    std::uint32_t head, tail;
    std::memcpy(&head, p, 4);
    std::memcpy(&tail, p + n - 4, 4);
    acc |= head | tail;
  } else {
    for (; n > 0; ++p, --n) acc |= static_cast<unsigned char>(*p);
  }
  return (acc & kHighBits) == 0;
}

inline std::string lower_utf8(std::string_view in) {
  std::string out;
  lower_utf8(in, out);
  return out;
}

}  // namespace fernquill
