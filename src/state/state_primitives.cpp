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

std::string wrong_count(std::uint64_t n, std::uint64_t expected) {
  return "Custom(\"Expected " + std::to_string(expected) + " elements, got " + std::to_string(n) +
         "\")";
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

std::string invalid_utf8_text(const utf8::Error& error) {
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

void StateWriter::put_wide_char(std::uint32_t code_point) {
  utf8::encode(code_point,
               reinterpret_cast<unsigned char*>(take(utf8::encoded_length(code_point))));
}

void StateWriter::overrun() { throw Fault("state writer: buffer smaller than the state"); }

namespace state_reading {

void short_field() { throw_state_failure(state_failure::kShortField); }

void short_text() { throw_state_failure(state_failure::kShortText); }

void oversized_length(std::uint64_t n, std::uint64_t max) {
  throw_state_failure(state_failure::oversized_length(n, max));
}

void oversized_integer(std::uint64_t n) {
  throw_state_failure(state_failure::oversized_integer(n));
}

void invalid_char() { throw_state_failure(state_failure::kInvalidChar); }

void invalid_utf8(const utf8::Error& error) { throw_state_failure(invalid_utf8_text(error)); }

}  // namespace state_reading

}  // namespace fernquill
