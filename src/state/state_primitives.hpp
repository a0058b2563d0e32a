// The field kinds that both pickled states (a match, a processor) are made
// of, the writer and reader over them, and the failures a reader reports.
//
// Fields are little-endian: 64-bit integers, sizes (64-bit on the wire, and
// required to fit a pointer-sized integer when read), 32-bit floats as bit
// patterns, single bytes, texts (a size, then UTF-8 bytes) and characters
// (one UTF-8 encoded code point). A state is written in two passes: the
// caller adds up the exact byte count with the *_field_bytes helpers, makes
// one buffer of that size and fills it front to back with a StateWriter.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "text/utf8.hpp"

namespace fernquill {

// The largest value a size field may hold when read. Readers take it as a
// parameter so that the rules for narrower pointers can be exercised too.
inline constexpr std::uint64_t kMaxSizeField = std::numeric_limits<std::size_t>::max();

// ---------------------------------------------------------------------------
// Failures. Each one is thrown as a Fault whose message is kStateFailurePrefix
// followed by one of the texts below.

inline constexpr std::string_view kStateFailurePrefix =
    "called `Result::unwrap()` on an `Err` value: ";

namespace state_failure {

// Fewer bytes left than a fixed-width field needs.
inline constexpr std::string_view kShortField = "Io(Kind(UnexpectedEof))";
// A text's declared length exceeds the bytes left.
inline constexpr std::string_view kShortText = "Io(Custom { kind: UnexpectedEof, error: \"\" })";
// A character field that is not one well-formed UTF-8 character.
inline constexpr std::string_view kInvalidChar = "InvalidCharEncoding";

// A length or count above `max`, the largest pointer-sized integer.
std::string oversized_length(std::uint64_t n, std::uint64_t max);
// An integer field (a match offset) above the largest pointer-sized integer.
std::string oversized_integer(std::uint64_t n);
// A word-character set whose word count is not the fixed `expected`.
std::string wrong_count(std::uint64_t n, std::uint64_t expected);
std::string invalid_tag(unsigned n);
std::string invalid_bool(unsigned n);

}  // namespace state_failure

// Throws Fault(kStateFailurePrefix + text).
[[noreturn]] void throw_state_failure(std::string_view text);

// The text of a UTF-8 failure.
std::string invalid_utf8_text(const utf8::Error& error);

// The wire's little-endian order from the native one, and back (the same
// swap both ways).
template <std::unsigned_integral T>
constexpr T little_endian(T v) {
  if constexpr (std::endian::native == std::endian::little) {
    return v;
  } else {
    auto bytes = std::bit_cast<std::array<unsigned char, sizeof(T)>>(v);
    std::reverse(bytes.begin(), bytes.end());
    return std::bit_cast<T>(bytes);
  }
}

// ---------------------------------------------------------------------------
// Field sizes for the sizing pass.

inline constexpr std::size_t kU8FieldBytes = 1;
inline constexpr std::size_t kU64FieldBytes = 8;
inline constexpr std::size_t text_field_bytes(std::size_t length) { return 8 + length; }
inline constexpr std::size_t char_field_bytes(std::uint32_t code_point) {
  return utf8::encoded_length(code_point);
}

// ---------------------------------------------------------------------------
// Fills a buffer whose size the caller computed exactly.

class StateWriter {
 public:
  explicit StateWriter(std::span<char> out)
      : begin_(out.data()), pos_(out.data()), end_(out.data() + out.size()) {}

  void put_u8(std::uint8_t v) { *take(1) = static_cast<char>(v); }
  void put_u64(std::uint64_t v) {
    v = little_endian(v);
    std::memcpy(take(8), &v, 8);
  }
  void put_f32(float v) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(v);
    bits = little_endian(bits);
    std::memcpy(take(4), &bits, 4);
  }
  void put_bytes(std::string_view bytes) {
    if (!bytes.empty()) std::memcpy(take(bytes.size()), bytes.data(), bytes.size());
  }
  void put_text(std::string_view text) {
    put_u64(text.size());
    put_bytes(text);
  }
  // The UTF-8 form of `code_point` (1 to 4 bytes).
  void put_char(std::uint32_t code_point) {
    if (code_point < 0x80) {
      *take(1) = static_cast<char>(code_point);
    } else {
      put_wide_char(code_point);
    }
  }

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }
  // Offset of the next byte to be written.
  std::size_t position() const { return static_cast<std::size_t>(pos_ - begin_); }
  // Overwrites 8 bytes already written at `offset` (a count known only later).
  void patch_u64(std::size_t offset, std::uint64_t v) {
    if (offset + 8 > position()) overrun();
    v = little_endian(v);
    std::memcpy(begin_ + offset, &v, 8);
  }

 private:
  char* take(std::size_t n) {
    if (n > remaining()) overrun();
    char* p = pos_;
    pos_ += n;
    return p;
  }
  // The sizing pass and the writing pass disagree: a bug, never input.
  [[noreturn]] static void overrun();
  void put_wide_char(std::uint32_t code_point);

  char* begin_;
  char* pos_;
  char* end_;
};

// ---------------------------------------------------------------------------
// Consumes fields from the front of a byte string; every read either returns
// the field or throws its failure. Every read is inline and every failure a
// free function of plain values, so that a reader held in a local variable
// lives in registers through a whole state.

namespace state_reading {

[[noreturn]] void short_field();
[[noreturn]] void short_text();
[[noreturn]] void oversized_length(std::uint64_t n, std::uint64_t max);
[[noreturn]] void oversized_integer(std::uint64_t n);
[[noreturn]] void invalid_char();
[[noreturn]] void invalid_utf8(const utf8::Error& error);

}  // namespace state_reading

class StateReader {
 public:
  explicit StateReader(std::string_view bytes, std::uint64_t max_size = kMaxSizeField)
      : pos_(reinterpret_cast<const unsigned char*>(bytes.data())),
        end_(pos_ + bytes.size()),
        max_size_(max_size) {}

  std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }

  std::uint8_t read_u8() {
    if (pos_ == end_) state_reading::short_field();
    return *pos_++;
  }
  std::uint64_t read_u64() {
    if (remaining() < 8) state_reading::short_field();
    std::uint64_t v;
    std::memcpy(&v, pos_, 8);
    pos_ += 8;
    return little_endian(v);
  }
  float read_f32() {
    if (remaining() < 4) state_reading::short_field();
    std::uint32_t bits;
    std::memcpy(&bits, pos_, 4);
    pos_ += 4;
    return std::bit_cast<float>(little_endian(bits));
  }
  // A length or count: a 64-bit integer, refused with the oversized-length
  // failure above the largest pointer-sized integer.
  std::uint64_t read_length() {
    const std::uint64_t n = read_u64();
    if (n > max_size_) state_reading::oversized_length(n, max_size_);
    return n;
  }
  // An integer value (a match offset): the same bound, but the
  // oversized-integer failure.
  std::uint64_t read_usize() {
    const std::uint64_t n = read_u64();
    if (n > max_size_) state_reading::oversized_integer(n);
    return n;
  }
  // A length, then that many bytes of valid UTF-8. The length is checked
  // against the bytes left before anything is copied. The view points into
  // the input.
  std::string_view read_text() {
    const std::string_view text = read_text_bytes();
    if (auto error = utf8::find_error(text)) state_reading::invalid_utf8(*error);
    return text;
  }
  // The same without the UTF-8 check, for a text this reader's input has
  // already passed (a second pass over a checked state).
  std::string_view read_text_bytes() {
    const std::uint64_t n = read_length();
    // Compared before the bytes are touched, so a forged length costs nothing.
    if (n > remaining()) state_reading::short_text();
    return {reinterpret_cast<const char*>(std::exchange(pos_, pos_ + n)),
            static_cast<std::size_t>(n)};
  }
  // One UTF-8 character. No byte left is a short field; anything that is
  // not one whole well-formed character is the invalid-character failure.
  std::uint32_t read_char() {
    if (pos_ == end_) state_reading::short_field();
    if (*pos_ < 0x80) return *pos_++;
    const utf8::Char c = utf8::decode({reinterpret_cast<const char*>(pos_), remaining()});
    if (c.length == 0) state_reading::invalid_char();
    pos_ += c.length;
    return c.code_point;
  }
  // A size field and a one-byte character after it, read at once when the
  // size is `size` and the character ASCII (a reader's common case);
  // otherwise false, and nothing is read.
  bool read_size_and_ascii_char(std::uint64_t size, std::uint32_t& c) {
    if (remaining() < kU64FieldBytes + 1 || pos_[kU64FieldBytes] >= 0x80 || size > max_size_) {
      return false;
    }
    std::uint64_t v;
    std::memcpy(&v, pos_, kU64FieldBytes);
    if (little_endian(v) != size) return false;
    c = pos_[kU64FieldBytes];
    pos_ += kU64FieldBytes + 1;
    return true;
  }
  // Skips the next `n` bytes (at most 8) in one step when all are zero and
  // 8 are left to read; otherwise false, and nothing is read.
  bool skip_zero_bytes(std::size_t n) {
    if (remaining() < kU64FieldBytes || n > kU64FieldBytes) return false;
    std::uint64_t v;
    std::memcpy(&v, pos_, kU64FieldBytes);
    const std::uint64_t mask =
        n == kU64FieldBytes ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * n)) - 1;
    if ((little_endian(v) & mask) != 0) return false;
    pos_ += n;
    return true;
  }
  // Exactly `n` bytes, or the short-field failure.
  std::string_view read_fixed(std::size_t n) {
    if (remaining() < n) state_reading::short_field();
    return {reinterpret_cast<const char*>(std::exchange(pos_, pos_ + n)), n};
  }

 private:
  const unsigned char* pos_;
  const unsigned char* end_;
  std::uint64_t max_size_;
};

}  // namespace fernquill
