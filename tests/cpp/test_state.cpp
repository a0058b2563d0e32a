// Pickled states: the field primitives and their failure texts, the match
// state, and the processor state (layout, reading rules, malformed input,
// depth). Expected bytes are assembled here field by field from the layout,
// never taken from the writer.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <utility>
#include <vector>

#include "check.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "state/match_state.hpp"
#include "state/processor_state.hpp"
#include "state/state_primitives.hpp"
#include "support/fault.hpp"

using namespace fernquill;

namespace {

constexpr std::uint64_t kMax32 = 0xFFFFFFFFull;
constexpr std::uint64_t kMax64 = 0xFFFFFFFFFFFFFFFFull;
constexpr std::size_t kSetEnd = 139272;  // count + 17408 words

const std::string kShortField = "Io(Kind(UnexpectedEof))";
const std::string kShortText = "Io(Custom { kind: UnexpectedEof, error: \"\" })";
const std::string kInvalidChar = "InvalidCharEncoding";

std::string le64(std::uint64_t v) {
  std::string s;
  for (int i = 0; i < 8; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string le32(std::uint32_t v) {
  std::string s;
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return s;
}

std::string text_field(std::string_view t) { return le64(t.size()) + std::string(t); }

// Test-side UTF-8 encoder of a code point (no validity checks).
std::string encode_char(std::uint32_t cp) {
  std::string s;
  if (cp < 0x80) {
    s.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    s.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    s.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    s.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    s.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
  return s;
}

// One encoded node from already encoded children: (key bytes, child bytes).
std::string node(const std::vector<std::pair<std::string, std::string>>& children,
                 std::optional<std::string> name = std::nullopt) {
  std::string s = le64(children.size());
  for (const auto& [key, child] : children) s += key + child;
  if (name) {
    s += '\x01';
    s += text_field(*name);
  } else {
    s += '\x00';
  }
  return s;
}

// Count and words of the default set: the bits of 0-9, A-Z, a-z.
std::string default_set_bytes() {
  std::string s = le64(17408) + std::string(139264, '\0');
  auto set = [&](char c) {
    auto u = static_cast<unsigned char>(c);
    s[8 + u / 8] = static_cast<char>(static_cast<unsigned char>(s[8 + u / 8]) | (1u << (u % 8)));
  };
  for (char c = '0'; c <= '9'; ++c) set(c);
  for (char c = 'A'; c <= 'Z'; ++c) set(c);
  for (char c = 'a'; c <= 'z'; ++c) set(c);
  return s;
}

std::string processor_bytes(const std::string& root, bool case_sensitive = false,
                            bool allow_overlaps = false) {
  std::string s = default_set_bytes() + root;
  s.push_back(case_sensitive ? 1 : 0);
  s.push_back(allow_overlaps ? 1 : 0);
  return s;
}

// The failure text of f(), or a marker that says what went wrong instead.
template <class F>
std::string failure_of(F&& f) {
  try {
    f();
  } catch (const Fault& e) {
    std::string m = e.what();
    if (m.rfind(kStateFailurePrefix, 0) != 0) return "<fault without prefix> " + m;
    return m.substr(kStateFailurePrefix.size());
  } catch (...) {
    return "<not a Fault>";
  }
  return "<no failure>";
}

std::string match_failure(std::string_view state, std::uint64_t max = kMaxSizeField) {
  return failure_of([&] { decode_match_state(state, max); });
}

std::string processor_failure(std::string_view state, std::uint64_t max = kMaxSizeField) {
  return failure_of([&] { decode_processor_state(state, max); });
}

using KeywordList = std::vector<std::pair<std::string, std::string>>;

KeywordList keywords_of(const Trie& trie) {
  KeywordList out;
  trie.for_each_keyword(
      [&](std::string_view path, std::string_view name) { out.emplace_back(path, name); });
  return out;
}

std::string hex(std::string_view s) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += digits[c >> 4];
    out += digits[c & 15];
    out += ' ';
  }
  return out;
}

bool is_known_failure(const std::string& t) {
  auto starts = [&](std::string_view p) { return t.rfind(p, 0) == 0 && t.back() == ')'; };
  return t == kShortField || t == kShortText || t == kInvalidChar ||
         starts("InvalidUtf8Encoding(Utf8Error { valid_up_to: ") || starts("InvalidTagEncoding(") ||
         starts("InvalidBoolEncoding(") || starts("Custom(\"Expected 17408 elements, got ") ||
         starts("Custom(\"Invalid size ") || starts("Custom(\"invalid value: integer `");
}

// Oracle for UTF-8 built from first principles: the valid sequences are the
// encodings of the scalar values; an error's length is the longest prefix of
// some valid sequence (the "maximal subpart"), at least 1.
struct Utf8Oracle {
  // Byte strings of up to four bytes, packed with their length.
  static std::uint64_t pack(std::string_view s) {
    std::uint64_t v = s.size();
    for (unsigned char c : s) v = (v << 8) | c;
    return v;
  }
  std::unordered_set<std::uint64_t> valid;
  std::unordered_set<std::uint64_t> proper_prefixes;

  Utf8Oracle() {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) continue;
      const std::string e = encode_char(cp);
      valid.insert(pack(e));
      for (std::size_t k = 1; k < e.size(); ++k) proper_prefixes.insert(pack(e.substr(0, k)));
    }
  }

  bool is_valid(std::string_view s) const { return s.size() <= 4 && valid.count(pack(s)) != 0; }
  bool is_proper_prefix(std::string_view s) const { return proper_prefixes.count(pack(s)) != 0; }

  std::optional<utf8::Error> check(std::string_view s) const {
    std::size_t i = 0;
    while (i < s.size()) {
      std::size_t advanced = 0;
      for (std::size_t len = 1; len <= 4 && i + len <= s.size(); ++len) {
        if (is_valid(s.substr(i, len))) {
          advanced = len;
          break;
        }
      }
      if (advanced != 0) {
        i += advanced;
        continue;
      }
      std::size_t k = 0;
      while (k < 3 && i + k + 1 <= s.size() && is_proper_prefix(s.substr(i, k + 1))) ++k;
      if (k == 0) return utf8::Error{i, 1};
      if (i + k == s.size()) return utf8::Error{i, std::nullopt};
      return utf8::Error{i, k};
    }
    return std::nullopt;
  }
};

const Utf8Oracle& oracle() {
  static const Utf8Oracle o;
  return o;
}

bool same_error(const std::optional<utf8::Error>& a, const std::optional<utf8::Error>& b) {
  if (a.has_value() != b.has_value()) return false;
  return !a || (a->valid_up_to == b->valid_up_to && a->error_len == b->error_len);
}

std::string describe(const std::optional<utf8::Error>& e) {
  if (!e) return "valid";
  return invalid_utf8_text(*e);
}

}  // namespace

// ---------------------------------------------------------------------------
// Primitives

TEST(state_failure_texts_are_exact) {
  CHECK_EQ(std::string(state_failure::kShortField), "Io(Kind(UnexpectedEof))");
  CHECK_EQ(std::string(state_failure::kShortText),
           "Io(Custom { kind: UnexpectedEof, error: \"\" })");
  CHECK_EQ(std::string(state_failure::kInvalidChar), "InvalidCharEncoding");
  CHECK_EQ(state_failure::oversized_length(4294967296ull, kMax32),
           "Custom(\"Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)\")");
  CHECK_EQ(state_failure::oversized_integer(18446744073709551615ull),
           "Custom(\"invalid value: integer `18446744073709551615`, expected usize\")");
  CHECK_EQ(state_failure::wrong_count(17407, WordSet::kWords),
           "Custom(\"Expected 17408 elements, got 17407\")");
  CHECK_EQ(state_failure::invalid_tag(2), "InvalidTagEncoding(2)");
  CHECK_EQ(state_failure::invalid_bool(255), "InvalidBoolEncoding(255)");
  CHECK_EQ(invalid_utf8_text(utf8::Error{0, 1}),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  CHECK_EQ(invalid_utf8_text(utf8::Error{2, std::nullopt}),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: None })");
  CHECK_EQ(failure_of([] { throw_state_failure("X"); }),
           "X");  // failure_of checks the prefix
  try {
    throw_state_failure("Io(Kind(UnexpectedEof))");
    CHECK(false);
  } catch (const Fault& e) {
    CHECK_EQ(std::string(e.what()),
             "called `Result::unwrap()` on an `Err` value: Io(Kind(UnexpectedEof))");
  }
  CHECK_EQ(kMaxSizeField, static_cast<std::uint64_t>(std::numeric_limits<std::size_t>::max()));
}

TEST(state_utf8_known_cases) {
  struct Case {
    std::string bytes;
    std::optional<utf8::Error> expected;
  };
  const std::vector<Case> cases = {
      {"", std::nullopt},
      {"plain ascii text", std::nullopt},
      {"\xC3\xA9", std::nullopt},
      {"\xE2\x82\xAC", std::nullopt},
      {"\xF0\x9F\x98\x80", std::nullopt},
      {"\xF4\x8F\xBF\xBF", std::nullopt},  // U+10FFFF
      {"\xED\x9F\xBF", std::nullopt},      // U+D7FF, just below the surrogates
      {"\xEE\x80\x80", std::nullopt},      // U+E000, just above them
      {std::string("a\0b", 3), std::nullopt},
      {"\xFF", utf8::Error{0, 1}},
      {"\x80", utf8::Error{0, 1}},
      {"\xC0\x80", utf8::Error{0, 1}},          // overlong NUL
      {"\xC1\xBF", utf8::Error{0, 1}},          // overlong
      {"\xE0\x80\x80", utf8::Error{0, 1}},      // overlong three-byte
      {"\xE0\x9F\xBF", utf8::Error{0, 1}},      // overlong three-byte
      {"\xED\xA0\x80", utf8::Error{0, 1}},      // surrogate D800
      {"\xF0\x80\x80\x80", utf8::Error{0, 1}},  // overlong four-byte
      {"\xF0\x8F\xBF\xBF", utf8::Error{0, 1}},  // overlong four-byte
      {"\xF4\x90\x80\x80", utf8::Error{0, 1}},  // above U+10FFFF
      {"\xF5\x80\x80\x80", utf8::Error{0, 1}},
      {"ab\xE2\x82", utf8::Error{2, std::nullopt}},
      {"ab\xE2\x82x", utf8::Error{2, 2}},
      {"\xE2\x41", utf8::Error{0, 1}},
      {"\xF0\x90\x80\x41", utf8::Error{0, 3}},
      {"\xF0\x90\x80", utf8::Error{0, std::nullopt}},
      {"\xC3", utf8::Error{0, std::nullopt}},
      {"a\xC3\xA9\xFF"
       "b",
       utf8::Error{3, 1}},
      {std::string(20, 'x') + "\xFF", utf8::Error{20, 1}},
      {std::string(16, 'x') + "\xE2\x82", utf8::Error{16, std::nullopt}},
      {std::string(7, 'x') + "\xC3\xA9" + std::string(9, 'y') + "\x80", utf8::Error{18, 1}},
  };
  for (const Case& c : cases) {
    auto got = utf8::find_error(c.bytes);
    if (!same_error(got, c.expected)) {
      check::fail(__FILE__, __LINE__,
                  hex(c.bytes) + ": got " + describe(got) + ", expected " + describe(c.expected));
    }
  }
}

TEST(state_utf8_short_texts_agree_with_oracle) {
  // Texts around the word sizes of the all-ASCII shortcut (0 to 80 bytes):
  // all ASCII, and with one byte above 0x7F (alone, or starting a valid
  // character) at every position, so that each word and the overlapping
  // last one are the one to catch it.
  const std::vector<std::string> odd = {
      "\x80", "\xFF", "\xC3", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\xA0\x80"};
  int mismatches = 0;
  for (std::size_t len = 0; len <= 80; ++len) {
    std::string ascii;
    for (std::size_t i = 0; i < len; ++i) ascii.push_back(static_cast<char>('a' + i % 26));
    std::vector<std::string> cases = {ascii};
    for (std::size_t at = 0; at < len; ++at) {
      for (const std::string& o : odd)
        cases.push_back(ascii.substr(0, at) + o + ascii.substr(at + 1));
    }
    for (const std::string& s : cases) {
      const auto expected = oracle().check(s);
      const auto got = utf8::find_error(s);
      if (!same_error(got, expected) && ++mismatches <= 10) {
        check::fail(__FILE__, __LINE__,
                    hex(s) + ": got " + describe(got) + ", expected " + describe(expected));
      }
    }
  }
  CHECK_EQ(mismatches, 0);
}

TEST(state_utf8_agrees_with_scalar_value_oracle) {
  // Every string of 1 to 4 bytes over bytes at the edges of the UTF-8 ranges.
  const std::vector<unsigned char> alphabet = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF,
                                               0xC0, 0xC1, 0xC2, 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE,
                                               0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5, 0xFF};
  const std::size_t a = alphabet.size();
  int mismatches = 0;
  for (std::size_t len = 1; len <= 4; ++len) {
    std::size_t total = 1;
    for (std::size_t i = 0; i < len; ++i) total *= a;
    for (std::size_t n = 0; n < total; ++n) {
      std::string s;
      for (std::size_t i = 0, m = n; i < len; ++i, m /= a)
        s.push_back(static_cast<char>(alphabet[m % a]));
      auto expected = oracle().check(s);
      auto got = utf8::find_error(s);
      if (!same_error(got, expected) && ++mismatches <= 10) {
        check::fail(__FILE__, __LINE__,
                    hex(s) + ": got " + describe(got) + ", expected " + describe(expected));
      }
      // A single character at the front: accepted exactly when some prefix
      // is a valid encoding, and then decoded to that code point.
      utf8::Char c = utf8::decode(s);
      std::size_t valid_len = 0;
      for (std::size_t k = 1; k <= s.size(); ++k) {
        if (oracle().is_valid(std::string_view(s).substr(0, k))) valid_len = k;
      }
      if (c.length != valid_len ||
          (valid_len && encode_char(c.code_point) != s.substr(0, valid_len))) {
        if (++mismatches <= 10) check::fail(__FILE__, __LINE__, "char decode of " + hex(s));
      }
    }
  }
  // Every scalar value decodes to itself.
  for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string e = encode_char(cp);
    utf8::Char c = utf8::decode(e);
    if ((c.code_point != cp || c.length != e.size()) && ++mismatches <= 10) {
      check::fail(__FILE__, __LINE__, "scalar value " + std::to_string(cp));
    }
  }
}

TEST(state_writer_and_reader_fields) {
  std::string buf(8 + 4 + 1 + 8 + 3 + 1 + 2 + 3 + 4, '\0');
  StateWriter w(buf);
  w.put_u64(0x0102030405060708ull);
  w.put_f32(1.0f);
  w.put_u8(0xAB);
  w.put_text("xyz");
  w.put_char(0x41);
  w.put_char(0xE9);
  w.put_char(0x20AC);
  w.put_char(0x1F600);
  CHECK_EQ(w.remaining(), 0u);
  CHECK_EQ(hex(buf), hex(std::string("\x08\x07\x06\x05\x04\x03\x02\x01\x00\x00\x80\x3F\xAB", 13) +
                         text_field("xyz") + "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"));
  CHECK_EQ(char_field_bytes(0x7F), 1u);
  CHECK_EQ(char_field_bytes(0x80), 2u);
  CHECK_EQ(char_field_bytes(0x7FF), 2u);
  CHECK_EQ(char_field_bytes(0x800), 3u);
  CHECK_EQ(char_field_bytes(0xFFFF), 3u);
  CHECK_EQ(char_field_bytes(0x10000), 4u);

  // A writer never writes past its buffer: an undersized buffer is a fault.
  std::string small(3, '\0');
  StateWriter w2(small);
  CHECK(failure_of([&] { w2.put_u64(1); }).rfind("<fault without prefix>", 0) == 0);

  StateReader r(buf);
  CHECK_EQ(r.read_u64(), 0x0102030405060708ull);
  CHECK_EQ(r.read_f32(), 1.0f);
  CHECK_EQ(r.read_u8(), 0xABu);
  CHECK_EQ(std::string(r.read_text()), "xyz");
  CHECK_EQ(r.read_char(), 0x41u);
  CHECK_EQ(r.read_char(), 0xE9u);
  CHECK_EQ(r.read_char(), 0x20ACu);
  CHECK_EQ(r.read_char(), 0x1F600u);
  CHECK_EQ(r.remaining(), 0u);
  CHECK_EQ(failure_of([&] { r.read_char(); }), kShortField);
  CHECK_EQ(failure_of([&] { r.read_u8(); }), kShortField);
}

// ---------------------------------------------------------------------------
// Match state

TEST(match_state_layout) {
  CHECK_EQ(hex(encode_match_state("", 1.0f, 0, 0)),
           hex(std::string(8, '\0') + std::string("\x00\x00\x80\x3F", 4) + std::string(16, '\0')));
  CHECK_EQ(hex(encode_match_state("é", 0.5f, 3, 0x0102030405060708ull)),
           hex(le64(2) + "\xC3\xA9" + le32(0x3F000000) + le64(3) + le64(0x0102030405060708ull)));
  CHECK_EQ(match_state_size(5), 33u);
  std::string kw(1000, 'k');
  CHECK_EQ(encode_match_state(kw, 0.25f, 1, 2).size(), 1028u);
}

TEST(match_state_round_trips) {
  const float nan_bits = std::bit_cast<float>(0x7FC12345u);
  struct Case {
    std::string keyword;
    float similarity;
    std::size_t start, end;
  };
  const std::vector<Case> cases = {
      {"", 1.0f, 0, 0},
      {"New York", 0.8f, 7, 15},
      {std::string("a\0b", 3), -0.0f, 5, 2},
      {"\xF0\x9F\x98\x80 emoji", std::numeric_limits<float>::infinity(), 1, 1},
      {"nan", nan_bits, std::numeric_limits<std::size_t>::max(),
       std::numeric_limits<std::size_t>::max() - 1},
      {std::string(100000, 'z'), 1e-40f, 123456789, 987654321},
  };
  for (const Case& c : cases) {
    std::string s = encode_match_state(c.keyword, c.similarity, c.start, c.end);
    MatchFields f = decode_match_state(s);
    CHECK(f.keyword == c.keyword);
    CHECK_EQ(std::bit_cast<std::uint32_t>(f.similarity),
             std::bit_cast<std::uint32_t>(c.similarity));
    CHECK_EQ(f.start, c.start);
    CHECK_EQ(f.end, c.end);
    // Bytes after the state are ignored.
    MatchFields g = decode_match_state(s + "trailing junk \xFF");
    CHECK(g.keyword == c.keyword && g.start == c.start && g.end == c.end);
  }
}

TEST(match_state_failures) {
  const std::string sim = le32(0x3F800000);
  CHECK_EQ(match_failure(""), kShortField);
  CHECK_EQ(match_failure(std::string(7, '\0')), kShortField);
  CHECK_EQ(match_failure(le64(5) + "abc"), kShortText);
  CHECK_EQ(match_failure(le64(kMax64) + std::string(40, 'a')), kShortText);
  CHECK_EQ(match_failure(le64(1) + "\xFF" + sim + le64(0) + le64(0)),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  CHECK_EQ(match_failure(le64(4) + "ab\xE2\x82" + sim + le64(0) + le64(0)),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: None })");
  // Where the bad sequence is and how long its valid start is, as the
  // keyword's own field reports them.
  const std::vector<std::pair<std::string, std::string>> bad_keywords = {
      {"ab\xE2\x82x", "valid_up_to: 2, error_len: Some(2)"},
      {"\xED\xA0\x80", "valid_up_to: 0, error_len: Some(1)"},
      {"a\xF0\x90\x80x", "valid_up_to: 1, error_len: Some(3)"},
      {"a\xF0\x90\x80", "valid_up_to: 1, error_len: None"},
      {"\xC0\x80", "valid_up_to: 0, error_len: Some(1)"},
  };
  for (const auto& [keyword, where] : bad_keywords) {
    const std::string got = match_failure(text_field(keyword) + sim + le64(0) + le64(0));
    if (got != "InvalidUtf8Encoding(Utf8Error { " + where + " })") {
      check::fail(__FILE__, __LINE__, hex(keyword) + ": " + got);
    }
  }
  // The UTF-8 check comes before the fields after the text.
  CHECK_EQ(match_failure(le64(1) + "\xC0"),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  CHECK_EQ(match_failure(le64(0) + std::string("\x00\x00\x80", 3)), kShortField);
  CHECK_EQ(match_failure(le64(0) + sim + le64(0) + "\x01\x02\x03"), kShortField);
  // Offsets must fit a pointer-sized integer.
  const std::string big_start = le64(0) + sim + le64(4294967296ull) + le64(0);
  CHECK_EQ(match_failure(big_start, kMax32),
           "Custom(\"invalid value: integer `4294967296`, expected usize\")");
  const std::string big_end = le64(0) + sim + le64(1) + le64(kMax64);
  CHECK_EQ(match_failure(big_end, kMax32),
           "Custom(\"invalid value: integer `18446744073709551615`, expected usize\")");
  if (kMaxSizeField == kMax64) {
    CHECK_EQ(decode_match_state(big_end).end, static_cast<std::size_t>(kMax64));
  }
  // An oversized text length is refused as such before it is compared with
  // the bytes left.
  CHECK_EQ(match_failure(le64(4294967296ull) + "abc", kMax32),
           "Custom(\"Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)\")");
  CHECK_EQ(match_failure(le64(kMax32) + "abc", kMax32), kShortText);
}

TEST(match_state_every_truncation) {
  const std::string keyword = "h\xC3\xA9llo";  // 6 bytes
  const std::string state = encode_match_state(keyword, 0.25f, 7, 12);
  CHECK_EQ(state.size(), 34u);
  for (std::size_t cut = 0; cut < state.size(); ++cut) {
    std::string expected = (cut >= 8 && cut < 8 + keyword.size()) ? kShortText : kShortField;
    std::string got = match_failure(std::string_view(state).substr(0, cut));
    if (got != expected) {
      check::fail(__FILE__, __LINE__, "cut " + std::to_string(cut) + ": " + got);
    }
  }
  CHECK(decode_match_state(state).keyword == keyword);
}

// ---------------------------------------------------------------------------
// Processor state: layout

TEST(processor_state_empty_default_layout) {
  KeywordProcessor p(false, false);
  const std::string s = encode_processor_state(p);
  CHECK_EQ(s.size(), 139283u);
  CHECK_EQ(processor_state_size(p), 139283u);
  CHECK_EQ(hex(s.substr(0, 8)), hex(std::string("\x00\x44\x00\x00\x00\x00\x00\x00", 8)));
  CHECK_EQ(hex(s.substr(14, 10)), hex("\xFF\x03\xFE\xFF\xFF\x07\xFE\xFF\xFF\x07"));
  std::size_t nonzero_elsewhere = 0;
  for (std::size_t i = 8; i < kSetEnd; ++i) {
    if ((i < 14 || i >= 24) && s[i] != 0) ++nonzero_elsewhere;
  }
  CHECK_EQ(nonzero_elsewhere, 0u);
  CHECK_EQ(hex(s.substr(kSetEnd)), hex(std::string(11, '\0')));
  CHECK(s == processor_bytes(node({})));

  auto back = decode_processor_state(s);
  CHECK_EQ(back->trie.keyword_count(), 0u);
  CHECK_EQ(back->trie.node_count(), 1u);
  CHECK(!back->case_sensitive && !back->allow_overlaps);
  CHECK(back->words.words() == p.word_set().words());
}

TEST(processor_state_keyword_ab_layout) {
  KeywordProcessor p(false, false);
  p.add_keyword("ab", std::nullopt);
  const std::string s = encode_processor_state(p);
  CHECK_EQ(s.size(), 139313u);
  const std::string root = le64(1) + "a" + le64(1) + "b" + le64(0) + "\x01" + le64(2) + "ab" +
                           std::string("\x00\x00", 2);
  CHECK_EQ(root.size(), 39u);
  CHECK_EQ(hex(s.substr(kSetEnd)), hex(root + std::string("\x00\x00", 2)));
  CHECK(s == processor_bytes(node({{"a", node({{"b", node({}, "ab")}})}})));
}

TEST(processor_state_key_bytes_are_written_as_characters) {
  KeywordProcessor p(true, false);
  p.add_keyword("\xC3\xA9", std::nullopt);  // é
  CHECK_EQ(hex(encode_processor_state(p).substr(kSetEnd)),
           hex(le64(1) + "\xC3\x83" + le64(1) + "\xC2\xA9" + le64(0) + "\x01" + le64(2) +
               "\xC3\xA9" + std::string("\x00\x00\x01\x00", 4)));
  // Every byte value: 0..127 as one byte, 128..255 as C2/C3 xx.
  KeywordProcessor all(true, true);
  auto name_of = [](unsigned v) {
    std::string n = "n";
    n += std::to_string(v);
    return n;
  };
  std::string expected_root_children;
  for (unsigned v = 0; v < 256; ++v) {
    std::string kw(1, static_cast<char>(v));
    all.add_keyword(kw, name_of(v));
    expected_root_children += encode_char(v);
    expected_root_children += node({}, name_of(v));
  }
  const std::string s = encode_processor_state(all);
  CHECK(s.substr(kSetEnd) == le64(256) + expected_root_children + std::string("\x00\x01\x01", 3));
  auto back = decode_processor_state(s);
  CHECK_EQ(back->trie.keyword_count(), 256u);
  CHECK(back->case_sensitive && back->allow_overlaps);
  for (unsigned v = 0; v < 256; ++v) {
    NodeId c = back->trie.child(Trie::kRoot, v);
    CHECK(c != kNoNode && back->trie.clean_name(c) == name_of(v));
  }
}

TEST(processor_state_children_in_ascending_key_order) {
  KeywordProcessor p(true, false);
  for (const char* kw : {"c", "ab", "b", "a"}) p.add_keyword(kw, std::nullopt);
  p.add_keyword("b", "B!");
  const std::string expected = node(
      {{"a", node({{"b", node({}, "ab")}}, "a")}, {"b", node({}, "B!")}, {"c", node({}, "c")}});
  CHECK_EQ(hex(encode_processor_state(p).substr(kSetEnd)),
           hex(expected + std::string("\x01\x00", 2)));
}

TEST(processor_state_round_trip) {
  KeywordProcessor p(true, true);
  p.add_keyword("New York", "NY");
  p.add_keyword("new", std::nullopt);
  p.add_keyword("\xE2\x82\xAC uro", "euro");
  p.add_keyword(
      "Stra\xC3\x9F"
      "e",
      "street");
  p.add_keyword(std::string("nul\0byte", 8), std::string("with\0nul", 8));
  p.add_keyword("x", "");
  p.add_word_char(0x10FFFF);
  p.add_word_char(0xD800);
  p.add_word_char(0xE9);
  const std::string s = encode_processor_state(p);
  auto back = decode_processor_state(s);
  CHECK(back->words.words() == p.word_set().words());
  CHECK(back->case_sensitive && back->allow_overlaps);
  CHECK(keywords_of(back->trie) == keywords_of(p.trie()));
  CHECK_EQ(back->trie.keyword_count(), p.count_keywords());
  CHECK_EQ(back->trie.node_count(), p.trie().node_count());

  KeywordProcessor q(false, false);
  q.add_keyword("old", std::nullopt);
  q.replace_state(back->words, std::move(back->trie), back->case_sensitive, back->allow_overlaps);
  CHECK(encode_processor_state(q) == s);
  CHECK_EQ(q.count_keywords(), 6u);

  // Default options and word set survive as well.
  KeywordProcessor d(false, false);
  d.add_keyword("Hello World", std::nullopt);
  auto back_d = decode_processor_state(encode_processor_state(d));
  CHECK(!back_d->case_sensitive && !back_d->allow_overlaps);
  CHECK(keywords_of(back_d->trie) == keywords_of(d.trie()));
}

// ---------------------------------------------------------------------------
// Processor state: reading rules

TEST(processor_state_reader_accepts_any_order_and_wide_keys) {
  const std::string root = node({
      {"c", node({}, "c")},
      {"\xE2\x82\xAC", node({}, "euro")},  // U+20AC: three bytes
      {"a", node({{"z", node({}, "az")}, {"b", node({}, "ab")}})},
      {"\xF0\x9F\x98\x80", node({}, "smile")},  // U+1F600: four bytes
      {"\xC3\xA9", node({}, "e-acute")},        // U+00E9, as the writer puts byte E9
  });
  auto back = decode_processor_state(processor_bytes(root));
  const Trie& t = back->trie;
  CHECK_EQ(t.keyword_count(), 6u);
  std::vector<std::uint32_t> keys;
  for (NodeId c = t.first_child(Trie::kRoot); c != kNoNode; c = t.next_sibling(c)) {
    keys.push_back(t.key(c));
  }
  CHECK(keys == (std::vector<std::uint32_t>{'a', 'c', 0xE9, 0x20AC, 0x1F600}));
  NodeId a = t.child(Trie::kRoot, 'a');
  CHECK(a != kNoNode && !t.has_clean_name(a));
  CHECK(t.child(a, 'b') != kNoNode && t.clean_name(t.child(a, 'b')) == "ab");
  CHECK(t.child(a, 'z') != kNoNode && t.clean_name(t.child(a, 'z')) == "az");
  CHECK(t.clean_name(t.child(Trie::kRoot, 0x1F600)) == "smile");

  // Written back in key order, wide keys as the same characters.
  const std::string sorted_root = node({
      {"a", node({{"b", node({}, "ab")}, {"z", node({}, "az")}})},
      {"c", node({}, "c")},
      {"\xC3\xA9", node({}, "e-acute")},
      {"\xE2\x82\xAC", node({}, "euro")},
      {"\xF0\x9F\x98\x80", node({}, "smile")},
  });
  CHECK(encode_processor_state(*back) == processor_bytes(sorted_root));
}

TEST(processor_state_repeated_key_keeps_last_child) {
  // 'a' appears three times; only the last survives, and the names in the
  // dropped subtrees no longer count as keywords.
  const std::string root = node({
      {"a", node({{"x", node({}, "deep")}}, "first")},
      {"b", node({}, "b")},
      {"a", node({{"y", node({}, "middle-deep")}}, "second")},
      {"a", node({}, "third")},
  });
  auto back = decode_processor_state(processor_bytes(root));
  const Trie& t = back->trie;
  CHECK_EQ(t.keyword_count(), 2u);
  CHECK_EQ(t.node_count(), 3u);
  NodeId a = t.child(Trie::kRoot, 'a');
  CHECK(a != kNoNode && t.clean_name(a) == "third" && !t.has_children(a));
  CHECK((keywords_of(t) == KeywordList{{"a", "third"}, {"b", "b"}}));

  // Repeated keys deeper down, and a repeated key whose last child is empty.
  const std::string root2 = node({{"k", node({{"q", node({}, "kq1")}, {"q", node({})}})}});
  auto back2 = decode_processor_state(processor_bytes(root2));
  CHECK_EQ(back2->trie.keyword_count(), 0u);
  CHECK_EQ(back2->trie.node_count(), 3u);
  CHECK(keywords_of(back2->trie).empty());
}

TEST(processor_state_reader_keeps_odd_structure) {
  // A clean name on the root, a dead branch, and options set by the state.
  const std::string root = node({{"d", node({{"e", node({})}})}}, "root-name");
  auto back = decode_processor_state(processor_bytes(root, true, false));
  CHECK(back->case_sensitive && !back->allow_overlaps);
  CHECK(back->trie.has_clean_name(Trie::kRoot) &&
        back->trie.clean_name(Trie::kRoot) == "root-name");
  CHECK_EQ(back->trie.keyword_count(), 1u);
  CHECK_EQ(back->trie.node_count(), 3u);
  auto back2 = decode_processor_state(processor_bytes(node({}), false, true));
  CHECK(!back2->case_sensitive && back2->allow_overlaps);
  // An arbitrary set is taken bit for bit.
  std::string s = processor_bytes(node({}));
  for (std::size_t i = 8; i < kSetEnd; i += 97) s[i] = static_cast<char>(i * 31);
  auto back3 = decode_processor_state(s);
  std::size_t mismatched = 0;
  for (std::size_t w = 0; w < WordSet::kWords; ++w) {
    std::uint64_t expected = 0;
    for (int b = 7; b >= 0; --b)
      expected = (expected << 8) | static_cast<unsigned char>(s[8 + 8 * w + b]);
    if (back3->words.words()[w] != expected) ++mismatched;
  }
  CHECK_EQ(mismatched, 0u);
  // The node reader only fills a fresh trie.
  Trie used;
  used.set_clean_name(used.child_or_insert(Trie::kRoot, 'a'), "a");
  StateReader r(node({}));
  CHECK(failure_of([&] { read_trie_state(r, used); }).rfind("<fault without prefix>", 0) == 0);
  CHECK_EQ(used.keyword_count(), 1u);
  // Trailing bytes are ignored.
  auto back4 = decode_processor_state(processor_bytes(node({{"a", node({}, "a")}})) + "extra\xFF");
  CHECK_EQ(back4->trie.keyword_count(), 1u);
}

// ---------------------------------------------------------------------------
// Processor state: malformed input

TEST(processor_state_failures) {
  const std::string set = default_set_bytes();
  const std::string opts("\x00\x00", 2);
  auto with_root = [&](const std::string& root_and_rest) { return set + root_and_rest; };

  CHECK_EQ(processor_failure(""), kShortField);
  CHECK_EQ(processor_failure(std::string(7, '\0')), kShortField);
  // Word count: checked for presence of every word first, then for its value.
  CHECK_EQ(processor_failure(le64(17407) + std::string(17407 * 8, '\0') + node({}) + opts),
           "Custom(\"Expected 17408 elements, got 17407\")");
  CHECK_EQ(processor_failure(le64(17407) + std::string(100, '\0')), kShortField);
  CHECK_EQ(processor_failure(le64(17407) + std::string(17407 * 8 - 1, '\0')), kShortField);
  CHECK_EQ(processor_failure(le64(0)), "Custom(\"Expected 17408 elements, got 0\")");
  CHECK_EQ(processor_failure(le64(17409) + std::string(17409 * 8, '\0')),
           "Custom(\"Expected 17408 elements, got 17409\")");
  CHECK_EQ(processor_failure(le64(kMax64) + std::string(64, '\0')), kShortField);
  CHECK_EQ(processor_failure(le64(kMax64) + std::string(64, '\0'), kMax32),
           "Custom(\"Invalid size 18446744073709551615: sizes must fit in a usize (0 to "
           "4294967295)\")");
  CHECK_EQ(processor_failure(set.substr(0, kSetEnd - 1)), kShortField);

  // Node fields.
  CHECK_EQ(processor_failure(set), kShortField);
  CHECK_EQ(processor_failure(with_root(le64(0))), kShortField);
  CHECK_EQ(processor_failure(with_root(le64(1))), kShortField);
  CHECK_EQ(processor_failure(with_root(le64(4294967296ull) + "a"), kMax32),
           "Custom(\"Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)\")");
  CHECK_EQ(processor_failure(with_root(le64(kMax64) + "a" + node({}))), kShortField);
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x02" + opts)), "InvalidTagEncoding(2)");
  CHECK_EQ(processor_failure(with_root(le64(0) + "\xFF" + opts)), "InvalidTagEncoding(255)");
  CHECK_EQ(processor_failure(with_root(le64(1) + "a" + le64(0) + "\x07")), "InvalidTagEncoding(7)");

  // Keys.
  for (const std::string& bad :
       std::vector<std::string>{"\xFF", "\x80", "\xBF", "\xC0\x80", "\xC1\xBF", "\xC3\x41",
                                "\xE0\x80\x80", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
                                "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xF8\x88\x80\x80\x80"}) {
    std::string got = processor_failure(with_root(le64(1) + bad + node({}) + '\0' + opts));
    if (got != kInvalidChar) check::fail(__FILE__, __LINE__, "key " + hex(bad) + ": " + got);
  }
  // A key cut off at the end of the input is a bad character, not a short field.
  CHECK_EQ(processor_failure(with_root(le64(1) + "\xC3")), kInvalidChar);
  CHECK_EQ(processor_failure(with_root(le64(1) + "\xE2\x82")), kInvalidChar);
  CHECK_EQ(processor_failure(with_root(le64(1) + "\xF0\x9F\x98")), kInvalidChar);

  // Clean names.
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + le64(5) + "abc")), kShortText);
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + le64(kMax64) + "abc")), kShortText);
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + le64(4294967296ull) + "abc"), kMax32),
           "Custom(\"Invalid size 4294967296: sizes must fit in a usize (0 to 4294967295)\")");
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + "\x01\x02\x03")), kShortField);
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + text_field("ok\xFFno") + opts)),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: Some(1) })");
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + text_field("ab\xE2\x82") + opts)),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 2, error_len: None })");
  CHECK_EQ(processor_failure(with_root(le64(0) + "\x01" + text_field("\xFF") + opts)),
           "InvalidUtf8Encoding(Utf8Error { valid_up_to: 0, error_len: Some(1) })");
  // A name cut short inside a child, below the root.
  CHECK_EQ(processor_failure(with_root(le64(1) + "a" + le64(0) + "\x01" + le64(3) + "ab")),
           kShortText);

  // Options.
  CHECK_EQ(processor_failure(with_root(node({}))), kShortField);
  CHECK_EQ(processor_failure(with_root(node({}) + "\x01")), kShortField);
  CHECK_EQ(processor_failure(with_root(node({}) + "\x02\x00")), "InvalidBoolEncoding(2)");
  CHECK_EQ(processor_failure(with_root(node({}) + std::string("\x00\x07", 2))),
           "InvalidBoolEncoding(7)");
  CHECK_EQ(processor_failure(with_root(node({}) + "\x01\xFF")), "InvalidBoolEncoding(255)");
}

TEST(processor_state_every_truncation) {
  // A small state described field by field, so the failure of every cut can
  // be predicted: a cut strictly inside a key is a bad character, a cut
  // inside a text's bytes is a short text, anything else a short field.
  enum Kind { kFixed, kKey, kTextBody };
  std::vector<std::pair<Kind, std::string>> fields = {{kFixed, default_set_bytes()}};
  auto fixed = [&](const std::string& b) { fields.push_back({kFixed, b}); };
  auto key = [&](const std::string& b) { fields.push_back({kKey, b}); };
  auto name = [&](const std::string& t) {
    fixed("\x01");
    fixed(le64(t.size()));
    if (!t.empty()) fields.push_back({kTextBody, t});
  };
  // root: 3 children 'a' (-> 'b' named "ab"), U+00E9 (named "é"), U+20AC
  // (named ""); root named "r".
  fixed(le64(3));
  key("a");
  fixed(le64(1));
  key("b");
  fixed(le64(0));
  name("ab");
  fixed(std::string(1, '\0'));
  key("\xC3\xA9");
  fixed(le64(0));
  name("\xC3\xA9");
  key("\xE2\x82\xAC");
  fixed(le64(0));
  name("");
  name("r");
  fixed(std::string("\x01\x00", 2));

  std::string state;
  std::vector<std::string> expected;
  for (const auto& [kind, bytes] : fields) {
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      if (kind == kKey && i > 0) {
        expected.push_back(kInvalidChar);
      } else if (kind == kTextBody) {
        expected.push_back(kShortText);
      } else {
        expected.push_back(kShortField);
      }
    }
    state += bytes;
  }
  auto full = decode_processor_state(state);
  CHECK_EQ(full->trie.keyword_count(), 4u);
  CHECK(full->case_sensitive && !full->allow_overlaps);

  int wrong = 0;
  for (std::size_t cut = 0; cut < state.size(); ++cut) {
    std::string got = processor_failure(std::string_view(state).substr(0, cut));
    if (got != expected[cut] && ++wrong <= 10) {
      check::fail(__FILE__, __LINE__,
                  "cut " + std::to_string(cut) + ": " + got + " (expected " + expected[cut] + ")");
    }
  }
  CHECK_EQ(wrong, 0);
}

// ---------------------------------------------------------------------------
// Depth

TEST(processor_state_million_byte_keyword) {
  const std::size_t n = 1000000;
  KeywordProcessor p(true, false);
  const std::string kw(n, 'a');
  p.add_keyword(kw, std::nullopt);
  p.add_keyword(std::string(n - 1, 'a') + "b", "branch");
  const std::string s = encode_processor_state(p);
  // n + 2 nodes (root, the chain, the branch leaf): count and tag each; n + 1
  // one-byte keys; two names.
  CHECK_EQ(s.size(), kSetEnd + 9 * (n + 2) + (n + 1) + (8 + n) + (8 + 6) + 2);
  auto back = decode_processor_state(s);
  CHECK_EQ(back->trie.keyword_count(), 2u);
  CHECK_EQ(back->trie.node_count(), n + 2);
  NodeId cur = Trie::kRoot;
  std::size_t depth = 0;
  while (back->trie.has_children(cur)) {
    cur = back->trie.child(cur, 'a');
    if (cur == kNoNode) break;
    ++depth;
  }
  CHECK_EQ(depth, n);
  CHECK(cur != kNoNode && back->trie.clean_name(cur) == kw);
  CHECK(encode_processor_state(*back) == s);
}

TEST(processor_state_forged_ten_million_levels) {
  // Each level: count 1 and key 'a' (9 bytes); then the innermost node's
  // count 0 and every level's tag.
  const std::size_t levels = 10000000;
  std::string s = default_set_bytes();
  s.reserve(s.size() + levels * 10 + 64);
  const std::string level = le64(1) + "a";
  for (std::size_t i = 0; i < levels; ++i) s += level;
  s += le64(0);
  s += '\x01';
  s += text_field("bottom");
  s.append(levels, '\0');
  s += std::string("\x00\x01", 2);

  {
    auto back = decode_processor_state(s);
    CHECK_EQ(back->trie.node_count(), levels + 1);
    CHECK_EQ(back->trie.keyword_count(), 1u);
    CHECK(back->allow_overlaps);
    // Written back identically (one child per node, so order cannot differ).
    CHECK(encode_processor_state(*back) == s);
  }
  // Cut before the last tags: refused, not a crash.
  CHECK_EQ(processor_failure(std::string_view(s).substr(0, s.size() - 1000)), kShortField);
  // Every level claiming a huge child count: refused once the input runs out.
  std::string greedy = default_set_bytes();
  const std::string greedy_level = le64(kMax64) + "a";
  for (std::size_t i = 0; i < levels / 10; ++i) greedy += greedy_level;
  CHECK_EQ(processor_failure(greedy), kShortField);
}

// ---------------------------------------------------------------------------
// Fuzzing: malformed input is refused with a Fault carrying a known failure
// text, never a crash; accepted input re-encodes to a stable form.

namespace {

struct Rng {
  std::uint64_t s;
  std::uint64_t next() {
    s ^= s << 13;
    s ^= s >> 7;
    s ^= s << 17;
    return s;
  }
  std::size_t below(std::size_t n) { return n == 0 ? 0 : static_cast<std::size_t>(next() % n); }
  bool chance(unsigned percent) { return below(100) < percent; }
};

const std::vector<std::uint64_t> kForged = {
    0, 1, 2, 255, 17407, 17408, 4294967295ull, 4294967296ull, 1ull << 63, kMax64 - 1, kMax64};

void overwrite_u64(std::string& s, std::size_t at, std::uint64_t v) {
  std::string b = le64(v);
  for (std::size_t i = 0; i < 8 && at + i < s.size(); ++i) s[at + i] = b[i];
}

std::string mutate(Rng& rng, std::string s, std::size_t from) {
  const int edits = 1 + static_cast<int>(rng.below(4));
  for (int e = 0; e < edits; ++e) {
    if (s.size() <= from) break;
    const std::size_t at = from + rng.below(s.size() - from);
    switch (rng.below(7)) {
      case 0:
        s[at] = static_cast<char>(s[at] ^ (1 << rng.below(8)));
        break;
      case 1:
        s[at] = static_cast<char>(rng.next());
        break;
      case 2:
        s.resize(at);
        break;
      case 3:
        overwrite_u64(s, at, kForged[rng.below(kForged.size())]);
        break;
      case 4:
        s.insert(at, 1 + rng.below(4), static_cast<char>(rng.next()));
        break;
      case 5:
        s.erase(at, 1 + rng.below(8));
        break;
      case 6: {  // duplicate a slice (repeats keys and subtrees)
        const std::size_t len = 1 + rng.below(std::min<std::size_t>(40, s.size() - at));
        s.insert(at, s.substr(at, len));
        break;
      }
    }
  }
  return s;
}

// A random trie encoding, mostly valid, with occasional bad keys, tags,
// lengths and repeated keys. Built iteratively with a pending-count stack.
std::string random_trie(Rng& rng, std::size_t max_nodes) {
  std::string out;
  std::vector<std::uint64_t> remaining;
  std::size_t nodes = 0;
  auto open = [&] {
    ++nodes;
    std::uint64_t count = nodes < max_nodes ? rng.below(4) : 0;
    if (rng.chance(2)) count = kForged[rng.below(kForged.size())];
    out += le64(count);
    remaining.push_back(count);
  };
  open();
  while (!remaining.empty()) {
    if (remaining.back() > 0 && nodes < max_nodes) {
      --remaining.back();
      static const std::vector<std::string> keys = {"a",
                                                    "b",
                                                    "c",
                                                    "\xC3\xA9",
                                                    "\xE2\x82\xAC",
                                                    "\xF0\x9F\x98\x80",
                                                    std::string(1, '\0'),
                                                    "\xFF",
                                                    "\xC3",
                                                    "\xED\xA0\x80"};
      out += rng.chance(90) ? keys[rng.below(6)] : keys[rng.below(keys.size())];
      open();
      continue;
    }
    remaining.pop_back();
    const std::size_t t = rng.below(100);
    if (t < 50) {
      out += '\x00';
    } else if (t < 97) {
      out += '\x01';
      std::string name = rng.chance(95) ? "kw" + std::to_string(rng.below(50)) : "bad\xC0";
      if (rng.chance(3)) {
        out += le64(kForged[rng.below(kForged.size())]) + name;
      } else {
        out += text_field(name);
      }
    } else {
      out += static_cast<char>(2 + rng.below(254));
    }
  }
  out += static_cast<char>(rng.chance(95) ? rng.below(2) : rng.below(256));
  out += static_cast<char>(rng.chance(95) ? rng.below(2) : rng.below(256));
  return out;
}

// Decodes `state`: either a known failure, or a result that re-encodes to a
// fixed point with a consistent keyword count. Returns true on success.
bool fuzz_processor_once(const std::string& state, std::uint64_t max, int& bad) {
  std::unique_ptr<ProcessorState> back;
  try {
    back = decode_processor_state(state, max);
  } catch (const Fault& e) {
    std::string m = e.what();
    bool ok = m.rfind(kStateFailurePrefix, 0) == 0 &&
              is_known_failure(m.substr(kStateFailurePrefix.size()));
    if (!ok && ++bad <= 5) check::fail(__FILE__, __LINE__, "unexpected failure text: " + m);
    return false;
  } catch (...) {
    if (++bad <= 5) check::fail(__FILE__, __LINE__, "not a Fault");
    return false;
  }
  const std::size_t listed = keywords_of(back->trie).size();
  const std::string once = encode_processor_state(*back);
  auto again = decode_processor_state(once);
  const std::string twice = encode_processor_state(*again);
  if ((once != twice || listed != back->trie.keyword_count() ||
       again->trie.keyword_count() != listed) &&
      ++bad <= 5) {
    check::fail(__FILE__, __LINE__, "accepted state does not re-encode stably");
  }
  return true;
}

}  // namespace

TEST(state_fuzz_match_decoder) {
  Rng rng{0x9E3779B97F4A7C15ull};
  const std::vector<std::string> bases = {
      encode_match_state("", 1.0f, 0, 0), encode_match_state("New York", 0.8f, 7, 15),
      encode_match_state("\xE2\x82\xAC\xF0\x9F\x98\x80", 0.5f, 1, 2),
      encode_match_state(std::string(300, 'q'), -1.0f, kMax32, kMax32 + 1)};
  int bad = 0, accepted = 0;
  for (int iter = 0; iter < 40000; ++iter) {
    std::string s;
    if (iter % 4 == 0) {
      const std::size_t n = rng.below(48);
      for (std::size_t i = 0; i < n; ++i) s.push_back(static_cast<char>(rng.next()));
      if (rng.chance(50) && s.size() >= 8) overwrite_u64(s, 0, rng.below(40));
    } else {
      s = mutate(rng, bases[rng.below(bases.size())], 0);
    }
    const std::uint64_t max = rng.chance(50) ? kMaxSizeField : kMax32;
    try {
      MatchFields f = decode_match_state(s, max);
      ++accepted;
      // The match encoding is canonical: writing the fields back gives the
      // bytes that were consumed.
      const std::string re = encode_match_state(f.keyword, f.similarity, f.start, f.end);
      if (s.compare(0, re.size(), re) != 0 && ++bad <= 5) {
        check::fail(__FILE__, __LINE__, "match state does not re-encode: " + hex(s));
      }
    } catch (const Fault& e) {
      std::string m = e.what();
      if (!(m.rfind(kStateFailurePrefix, 0) == 0 &&
            is_known_failure(m.substr(kStateFailurePrefix.size()))) &&
          ++bad <= 5) {
        check::fail(__FILE__, __LINE__, "unexpected failure text: " + m);
      }
    } catch (...) {
      if (++bad <= 5) check::fail(__FILE__, __LINE__, "not a Fault");
    }
  }
  CHECK_EQ(bad, 0);
  CHECK(accepted > 1000);  // the mix must exercise the success path too
}

TEST(state_fuzz_processor_decoder) {
  Rng rng{0xD1B54A32D192ED03ull};
  std::vector<std::string> bases;
  {
    KeywordProcessor p(true, false);
    for (const char* kw : {"ab", "abc", "b", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC", "x y z"}) {
      p.add_keyword(kw, std::nullopt);
    }
    p.add_keyword("abd", "named");
    bases.push_back(encode_processor_state(p));
    KeywordProcessor empty(false, true);
    bases.push_back(encode_processor_state(empty));
  }
  int bad = 0, accepted = 0, rejected = 0;
  for (int iter = 0; iter < 6000; ++iter) {
    std::string s;
    const std::size_t kind = rng.below(10);
    if (kind < 5) {
      // Mutations of real states, aimed at the trie and the options; now and
      // then at the word count.
      s = mutate(rng, bases[rng.below(bases.size())], rng.chance(5) ? 0 : kSetEnd);
    } else if (kind < 9) {
      s = default_set_bytes() + random_trie(rng, 60);
      if (rng.chance(30)) s = mutate(rng, s, kSetEnd);
    } else {
      // Deep chains with a random ending.
      s = default_set_bytes();
      const std::size_t depth = rng.below(50000);
      const std::string level = le64(1) + (rng.chance(50) ? "a" : "\xC3\xA9");
      for (std::size_t i = 0; i < depth; ++i) s += level;
      s += le64(0);
      s.append(depth + 1, '\0');
      s += std::string("\x00\x00", 2);
      if (rng.chance(50)) s.resize(kSetEnd + rng.below(s.size() - kSetEnd + 1));
    }
    const std::uint64_t max = rng.chance(80) ? kMaxSizeField : kMax32;
    if (fuzz_processor_once(s, max, bad)) {
      ++accepted;
    } else {
      ++rejected;
    }
  }
  CHECK_EQ(bad, 0);
  CHECK(accepted > 500);
  CHECK(rejected > 500);
}

// ---------------------------------------------------------------------------
// A literal processor state reader, written from the layout alone: recursive,
// one std::map per node (a repeated key replaces the earlier child), every
// field read where the layout puts it and checked as the reading rules say.
// The engine's reader must agree with it on every input: the same failure
// text, or the same words, keywords and options.

namespace {

struct RefFailure {
  std::string text;
};

struct RefNode {
  std::map<std::uint32_t, std::unique_ptr<RefNode>> children;
  std::optional<std::string> name;
};

struct RefState {
  std::vector<std::uint64_t> words;
  KeywordList keywords;
  bool case_sensitive;
  bool allow_overlaps;
};

class RefReader {
 public:
  RefReader(std::string_view s, std::uint64_t max) : s_(s), max_(max) {}

  RefState read() {
    RefState out;
    const std::uint64_t count = size();
    for (std::uint64_t i = 0; i < count; ++i) out.words.push_back(u64());
    if (count != 17408) {
      fail("Custom(\"Expected 17408 elements, got " + std::to_string(count) + "\")");
    }
    const std::unique_ptr<RefNode> root = node();
    out.case_sensitive = flag();
    out.allow_overlaps = flag();
    std::string path;
    collect(*root, path, out.keywords);
    return out;
  }

 private:
  [[noreturn]] static void fail(std::string text) { throw RefFailure{std::move(text)}; }
  std::size_t left() const { return s_.size() - pos_; }

  std::uint64_t u64() {
    if (left() < 8) fail(kShortField);
    std::uint64_t v = 0;
    for (int i = 7; i >= 0; --i) v = (v << 8) | static_cast<unsigned char>(s_[pos_ + i]);
    pos_ += 8;
    return v;
  }
  std::uint64_t size() {
    const std::uint64_t v = u64();
    if (v > max_) {
      fail("Custom(\"Invalid size " + std::to_string(v) + ": sizes must fit in a usize (0 to " +
           std::to_string(max_) + ")\")");
    }
    return v;
  }
  std::uint8_t u8() {
    if (left() < 1) fail(kShortField);
    return static_cast<std::uint8_t>(s_[pos_++]);
  }
  bool flag() {
    const std::uint8_t b = u8();
    if (b > 1) fail("InvalidBoolEncoding(" + std::to_string(b) + ")");
    return b == 1;
  }
  std::uint32_t character() {
    if (left() < 1) fail(kShortField);
    for (std::size_t len = 1; len <= 4 && len <= left(); ++len) {
      const std::string_view e = s_.substr(pos_, len);
      if (!oracle().is_valid(e)) continue;
      pos_ += len;
      static constexpr unsigned kLeadBits[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
      std::uint32_t cp = static_cast<unsigned char>(e[0]) & kLeadBits[len];
      for (std::size_t i = 1; i < len; ++i)
        cp = (cp << 6) | (static_cast<unsigned char>(e[i]) & 0x3F);
      return cp;
    }
    fail(kInvalidChar);
  }
  std::string text() {
    const std::uint64_t n = size();
    if (n > left()) fail(kShortText);
    std::string t(s_.substr(pos_, n));
    if (auto e = oracle().check(t)) fail(invalid_utf8_text(*e));
    pos_ += n;
    return t;
  }
  std::unique_ptr<RefNode> node() {
    auto out = std::make_unique<RefNode>();
    const std::uint64_t count = size();
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint32_t key = character();
      out->children[key] = node();
    }
    const std::uint8_t tag = u8();
    if (tag == 1) {
      out->name = text();
    } else if (tag != 0) {
      fail("InvalidTagEncoding(" + std::to_string(tag) + ")");
    }
    return out;
  }
  static void collect(const RefNode& n, std::string& path, KeywordList& out) {
    if (n.name) out.emplace_back(path, *n.name);
    for (const auto& [key, child] : n.children) {
      const std::size_t mark = path.size();
      path += key <= 0xFF ? std::string(1, static_cast<char>(key)) : encode_char(key);
      collect(*child, path, out);
      path.resize(mark);
    }
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::uint64_t max_;
};

// Decodes `state` with both readers; false (after reporting) when they
// disagree.
bool agrees_with_reference(const std::string& state, std::uint64_t max) {
  std::optional<RefState> want;
  std::string want_failure;
  try {
    want = RefReader(state, max).read();
  } catch (const RefFailure& f) {
    want_failure = f.text;
  }
  std::unique_ptr<ProcessorState> got;
  const std::string got_failure = failure_of([&] { got = decode_processor_state(state, max); });
  if (!want) {
    if (got_failure == want_failure) return true;
    check::fail(__FILE__, __LINE__, "failure " + got_failure + ", reference " + want_failure);
    return false;
  }
  if (got_failure != "<no failure>") {
    check::fail(__FILE__, __LINE__, "refused with " + got_failure + ", reference accepts");
    return false;
  }
  const auto& words = got->words.words();
  const bool same = std::equal(words.begin(), words.end(), want->words.begin()) &&
                    keywords_of(got->trie) == want->keywords &&
                    got->trie.keyword_count() == want->keywords.size() &&
                    got->case_sensitive == want->case_sensitive &&
                    got->allow_overlaps == want->allow_overlaps &&
                    got->trie.check_invariants().empty();
  if (!same) check::fail(__FILE__, __LINE__, "accepted state differs from the reference");
  return same;
}

}  // namespace

TEST(state_reader_agrees_with_literal_reference) {
  Rng rng{0x2545F4914F6CDD1Dull};
  std::vector<std::string> bases;
  {
    KeywordProcessor p(true, false);
    for (const char* kw : {"ab", "abc", "b", "\xC3\xA9t\xC3\xA9", "\xE2\x82\xAC", "x y z", "new",
                           "new york", "newt", "a"}) {
      p.add_keyword(kw, std::nullopt);
    }
    p.add_keyword("abd", "named");
    bases.push_back(encode_processor_state(p));
  }
  int bad = 0, accepted = 0, refused = 0;
  for (int iter = 0; iter < 20000 && bad < 5; ++iter) {
    std::string s;
    const std::size_t kind = rng.below(4);
    if (kind == 0) {
      s = mutate(rng, bases[0], rng.chance(5) ? 0 : kSetEnd);
    } else {
      // Random tries: repeated and unordered keys, wide keys, bad fields.
      s = default_set_bytes() + random_trie(rng, kind == 1 ? 8 : 60);
      if (rng.chance(40)) s = mutate(rng, s, kSetEnd);
    }
    const std::uint64_t max = rng.chance(80) ? kMaxSizeField : kMax32;
    if (!agrees_with_reference(s, max)) {
      ++bad;
      check::fail(__FILE__, __LINE__, "state: " + hex(std::string_view(s).substr(kSetEnd)));
    }
    (failure_of([&] { decode_processor_state(s, max); }) == "<no failure>" ? accepted : refused)++;
  }
  CHECK_EQ(bad, 0);
  CHECK(accepted > 2000);
  CHECK(refused > 2000);
}
