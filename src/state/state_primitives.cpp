#include "state/state_primitives.hpp"

#include "support/fault.hpp"

namespace fernquill {

namespace state_failure {

std::string oversized_length(std::uint64_t n, std::uint64_t max) {
  return "Custom(\"Invalid size " + std::to_string(n) + ": sizes must fit in a usize (0 to " +
         std::to_string(max) + ")\")";
}

std::string oversized_integer(std::uint64_t n) {
  return "Custom(\"invalid value: integer `" + std::to_string(n) + "`, expected usize\")";
}

std::string wrong_count(std::uint64_t n) {
  return "Custom(\"Expected 17408 elements, got " + std::to_string(n) + "\")";
}

std::string invalid_tag(unsigned n) { return "InvalidTagEncoding(" + std::to_string(n) + ")"; }

std::string invalid_bool(unsigned n) { return "InvalidBoolEncoding(" + std::to_string(n) + ")"; }

}  // namespace state_failure

void throw_state_failure(std::string_view text) {
  std::string message;
  message.reserve(kStateFailurePrefix.size() + text.size());
  message.append(kStateFailurePrefix);
  message.append(text);
  throw Fault(std::move(message));
}

namespace {

// How one sequence starting at a lead byte continues: its total length and
// the allowed range of its second byte (later bytes are always 80..BF).
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

enum class StepKind { kValid, kInvalid, kTruncated };

struct Step {
  StepKind kind;
  std::size_t length;  // valid: the sequence length; invalid: the bytes accepted
  std::uint32_t code_point;
};

// Examines the sequence starting at p[0] with `avail` (>= 1) bytes present.
Step step_utf8(const unsigned char* p, std::size_t avail) {
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

}  // namespace

std::optional<Utf8Error> find_utf8_error(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if ((word & 0x8080808080808080ull) != 0) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const Step step = step_utf8(p + i, n - i);
    switch (step.kind) {
      case StepKind::kValid:
        i += step.length;
        break;
      case StepKind::kInvalid:
        return Utf8Error{i, step.length};
      case StepKind::kTruncated:
        return Utf8Error{i, std::nullopt};
    }
  }
  return std::nullopt;
}

std::string invalid_utf8_text(const Utf8Error& error) {
  std::string text = "InvalidUtf8Encoding(Utf8Error { valid_up_to: ";
  text += std::to_string(error.valid_up_to);
  text += ", error_len: ";
  if (error.error_len) {
    text += "Some(" + std::to_string(*error.error_len) + ")";
  } else {
    text += "None";
  }
  text += " })";
  return text;
}

Utf8Char decode_utf8_char(std::string_view bytes) {
  const Step step = step_utf8(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
  if (step.kind != StepKind::kValid) return {0, 0};
  return {step.code_point, step.length};
}

void StateWriter::put_wide_char(std::uint32_t cp) {
  const std::size_t n = char_field_bytes(cp);
  char* p = take(n);
  static constexpr unsigned char kLeadMark[5] = {0, 0, 0xC0, 0xE0, 0xF0};
  for (std::size_t i = n - 1; i > 0; --i) {
    p[i] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  p[0] = static_cast<char>(kLeadMark[n] | cp);
}

void StateWriter::overrun() { throw Fault("state writer: buffer smaller than the state"); }

std::uint64_t StateWriter::byteswap64(std::uint64_t v) {
  std::uint64_t r = 0;
  for (int i = 0; i < 8; ++i) r = (r << 8) | ((v >> (8 * i)) & 0xFF);
  return r;
}

std::uint32_t StateWriter::byteswap32(std::uint32_t v) {
  std::uint32_t r = 0;
  for (int i = 0; i < 4; ++i) r = (r << 8) | ((v >> (8 * i)) & 0xFF);
  return r;
}

void StateReader::short_field() { throw_state_failure(state_failure::kShortField); }

void StateReader::oversized_length(std::uint64_t n) const {
  throw_state_failure(state_failure::oversized_length(n, max_size_));
}

std::uint64_t StateReader::read_usize() {
  const std::uint64_t n = read_u64();
  if (n > max_size_) throw_state_failure(state_failure::oversized_integer(n));
  return n;
}

std::string_view StateReader::read_text() {
  const std::uint64_t n = read_length();
  // Compared before the bytes are touched, so a forged length costs nothing.
  if (n > remaining()) throw_state_failure(state_failure::kShortText);
  std::string_view text = bytes_.substr(pos_, static_cast<std::size_t>(n));
  if (auto error = find_utf8_error(text)) throw_state_failure(invalid_utf8_text(*error));
  pos_ += text.size();
  return text;
}

std::uint32_t StateReader::read_wide_char() {
  if (remaining() == 0) short_field();
  const Utf8Char c = decode_utf8_char(bytes_.substr(pos_));
  if (c.length == 0) throw_state_failure(state_failure::kInvalidChar);
  pos_ += c.length;
  return c.code_point;
}

}  // namespace fernquill
