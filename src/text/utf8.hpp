// UTF-8 by the well-formed byte sequences of the Unicode standard (table
// 3-7: no overlong forms, no surrogates, nothing above U+10FFFF), and the
// byte classes the scans share. The one place that encodes, decodes and
// classifies UTF-8 bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace fernquill::utf8 {

inline constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;
// The longest encoding of one code point.
inline constexpr std::size_t kMaxSequence = 4;

// 0x80..0xBF: never the first byte of a character.
constexpr bool is_continuation(unsigned char b) { return (b & 0xC0) == 0x80; }
constexpr bool is_continuation(char b) { return is_continuation(static_cast<unsigned char>(b)); }

// Whether offset `i` of `s` lies on a character boundary: 0, the end, or a
// byte that is not a continuation byte.
constexpr bool is_boundary(std::string_view s, std::size_t i) {
  return i == 0 || i == s.size() || (i < s.size() && !is_continuation(s[i]));
}

// Tab, line feed, carriage return and space: the bytes that the scans trim
// from the ends of a match.
constexpr bool is_trim(unsigned char b) { return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20; }

// Length of the sequence a lead byte of valid UTF-8 starts.
constexpr std::size_t sequence_length(unsigned char lead) {
  return lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
}

// Bytes of the encoding of `code_point` (at most kMaxCodePoint).
constexpr std::size_t encoded_length(std::uint32_t code_point) {
  return code_point < 0x80 ? 1 : code_point < 0x800 ? 2 : code_point < 0x10000 ? 3 : 4;
}

// Writes the encoding of `code_point` to dst (room for kMaxSequence bytes);
// returns its length.
inline std::size_t encode(std::uint32_t code_point, unsigned char* dst) {
  static constexpr unsigned char kLeadMark[kMaxSequence + 1] = {0, 0, 0xC0, 0xE0, 0xF0};
  const std::size_t n = encoded_length(code_point);
  if (n == 1) {
    dst[0] = static_cast<unsigned char>(code_point);
    return 1;
  }
  for (std::size_t i = n - 1; i > 0; --i) {
    dst[i] = static_cast<unsigned char>(0x80 | (code_point & 0x3F));
    code_point >>= 6;
  }
  dst[0] = static_cast<unsigned char>(kLeadMark[n] | code_point);
  return n;
}

inline void append(std::string& out, std::uint32_t code_point) {
  unsigned char bytes[kMaxSequence];
  out.append(reinterpret_cast<const char*>(bytes), encode(code_point, bytes));
}

// One step of decoding at p[0], with `avail` >= 1 bytes readable.
enum class StepKind { kValid, kInvalid, kTruncated };
struct Step {
  StepKind kind;
  // kValid: the sequence length; otherwise the bytes accepted before the
  // fault (1 to 3).
  std::size_t length;
  std::uint32_t code_point;  // kValid only
};

// How a sequence starting at a lead byte continues: its total length and the
// allowed range of its second byte (later bytes are always 80..BF).
struct LeadRule {
  std::uint8_t length;  // 0: the byte cannot start a sequence
  std::uint8_t second_lo;
  std::uint8_t second_hi;
};

constexpr LeadRule lead_rule(unsigned char b) {
  if (b < 0x80) return {1, 0, 0};
  if (b < 0xC2) return {0, 0, 0};  // continuation bytes, and C0/C1 (always overlong)
  if (b < 0xE0) return {2, 0x80, 0xBF};
  if (b == 0xE0) return {3, 0xA0, 0xBF};  // no overlong three-byte forms
  if (b == 0xED) return {3, 0x80, 0x9F};  // no surrogates
  if (b < 0xF0) return {3, 0x80, 0xBF};
  if (b == 0xF0) return {4, 0x90, 0xBF};  // no overlong four-byte forms
  if (b < 0xF4) return {4, 0x80, 0xBF};
  if (b == 0xF4) return {4, 0x80, 0x8F};  // nothing above U+10FFFF
  return {0, 0, 0};
}

inline Step step(const unsigned char* p, std::size_t avail) {
  const unsigned char lead = p[0];
  const LeadRule rule = lead_rule(lead);
  if (rule.length == 0) return {StepKind::kInvalid, 1, 0};
  if (rule.length == 1) return {StepKind::kValid, 1, lead};
  std::uint32_t cp = lead & (0x7Fu >> rule.length);
  for (std::size_t i = 1; i < rule.length; ++i) {
    if (i >= avail) return {StepKind::kTruncated, i, 0};
    const unsigned char b = p[i];
    const unsigned char lo = i == 1 ? rule.second_lo : 0x80;
    const unsigned char hi = i == 1 ? rule.second_hi : 0xBF;
    if (b < lo || b > hi) return {StepKind::kInvalid, i, 0};
    cp = (cp << 6) | (b & 0x3Fu);
  }
  return {StepKind::kValid, rule.length, cp};
}

// One character at the front of `bytes` (which must not be empty).
struct Char {
  std::uint32_t code_point;
  std::size_t length;  // 0 when `bytes` does not start with a whole valid character
};
inline Char decode(std::string_view bytes) {
  const Step s = step(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  if (s.kind != StepKind::kValid) return {0, 0};
  return {s.code_point, s.length};
}

struct Error {
  std::size_t valid_up_to;  // length of the longest valid prefix
  // Length (1 to 3) of the ill-formed sequence after that prefix: its lead
  // byte and the continuation bytes accepted so far. Empty when the text
  // ends inside a sequence that was well-formed up to there.
  std::optional<std::size_t> error_len;
};

// The first ill-formed position of `bytes`, or nothing when all is valid.
std::optional<Error> find_error(std::string_view bytes);

// Appends `bytes` with each ill-formed sequence (a lead byte and the
// continuation bytes it accepted, or a stray byte) replaced by U+FFFD, as
// Python's bytes.decode("utf-8", "replace") does.
void append_repaired(std::string& out, std::string_view bytes);

}  // namespace fernquill::utf8
