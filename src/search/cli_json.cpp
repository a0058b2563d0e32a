#include "search/cli_json.hpp"

#include <algorithm>
#include <cmath>

#include "text/utf8.hpp"

namespace fernquill::cli {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";
// The first of the code points that stand for bytes that are not UTF-8
// (Python's surrogateescape: byte b becomes U+DC00 + b).
constexpr std::uint32_t kEscapedByte = 0xDC00;
constexpr std::uint32_t kFirstAstral = 0x10000;
constexpr std::uint32_t kHighSurrogate = 0xD800, kLowSurrogate = 0xDC00;
constexpr unsigned kSurrogateBits = 10;

void append_u_escape(std::string& out, std::uint32_t unit) {
  out += "\\u";
  for (int shift = 12; shift >= 0; shift -= 4) out += kHexDigits[(unit >> shift) & 0xF];
}

// How json.dumps(ensure_ascii=True) writes one code point.
void append_ascii_escaped(std::string& out, std::uint32_t cp) {
  if (cp >= 0x20 && cp < 0x7F) {
    if (cp == '"' || cp == '\\') out += '\\';
    out += static_cast<char>(cp);
  } else if (cp < 0x20) {
    const char c = static_cast<char>(cp);
    append_json_string_body(out, std::string_view(&c, 1));
  } else if (cp < kFirstAstral) {
    append_u_escape(out, cp);
  } else {  // a surrogate pair
    const std::uint32_t v = cp - kFirstAstral;
    append_u_escape(out, kHighSurrogate + (v >> kSurrogateBits));
    append_u_escape(out, kLowSurrogate + (v & ((1u << kSurrogateBits) - 1)));
  }
}

// Hundredths of a similarity rounded as the engine keeps it, 0 to 100.
long similarity_hundredths(float similarity) {
  return std::clamp(std::lround(static_cast<double>(similarity) * 100.0), 0L, 100L);
}

}  // namespace

std::size_t number_size(std::uint64_t n) {
  char digits[kMaxDigits];
  return static_cast<std::size_t>(std::to_chars(digits, digits + kMaxDigits, n).ptr - digits);
}

void append_similarity(std::string& out, float similarity) {
  // The engine keeps two decimals; Python shows the shortest form of the
  // nearest double: 1.0, 0.5, 0.67, 0.05.
  const long h = similarity_hundredths(similarity);
  if (h == 100) {
    out += "1.0";
    return;
  }
  const char shown[] = {'0', '.', static_cast<char>('0' + h / 10), static_cast<char>('0' + h % 10)};
  out.append(shown, h % 10 != 0 ? 4 : 3);
}

std::size_t similarity_size(float similarity) {
  const long h = similarity_hundredths(similarity);
  return h == 100 || h % 10 == 0 ? 3 : 4;
}

std::size_t json_escaped_size(std::string_view text) {
  std::size_t size = text.size();
  for (const char ch : text) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c == '"' || c == '\\' || c == '\n' || c == '\r' || c == '\t' || c == '\b' || c == '\f') {
      size += 1;
    } else if (c < 0x20) {
      size += 5;
    }
  }
  return size;
}

void append_json_string_body(std::string& out, std::string_view text) {
  std::size_t plain = 0;  // start of the run not yet copied
  for (std::size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(text.substr(plain, i - plain));
    plain = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      default: append_u_escape(out, c);
    }
  }
  out.append(text.substr(plain));
}

void append_json_ascii_body(std::string& out, std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  for (std::size_t i = 0; i < bytes.size();) {
    const utf8::Step s = utf8::step(p + i, bytes.size() - i);
    if (s.kind == utf8::StepKind::kValid) {
      append_ascii_escaped(out, s.code_point);
      i += s.length;
    } else {  // each byte of an ill-formed sequence stands for itself
      append_ascii_escaped(out, kEscapedByte + p[i]);
      ++i;
    }
  }
}

std::string path_json(std::string_view name) {
  std::string out = "\"";
  if (utf8::find_error(name)) {
    append_json_ascii_body(out, name);
  } else {
    append_json_string_body(out, name);
  }
  return out + '"';
}

const std::string& EscapedNames::operator()(std::string_view name) {
  auto [at, added] = escaped_.try_emplace(name);
  if (added) append_json_string_body(at->second, name);
  return at->second;
}

void append_count_records(std::string& out, const std::optional<std::string_view>& path,
                          std::vector<std::pair<std::string_view, std::uint64_t>>& counts) {
  const bool ascii = path && utf8::find_error(*path).has_value();
  const std::string path_text = path ? path_json(*path) : std::string();
  std::sort(counts.begin(), counts.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  for (const auto& [name, n] : counts) {
    out += '{';
    if (path) {
      out += "\"path\":";
      out += path_text;
      out += ',';
    }
    out += "\"keyword\":\"";
    if (ascii) {
      append_json_ascii_body(out, name);
    } else {
      append_json_string_body(out, name);
    }
    out += "\",\"count\":";
    append_number(out, n);
    out += "}\n";
  }
}

}  // namespace fernquill::cli
