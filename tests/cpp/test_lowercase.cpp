// Tests of lower_utf8: full lower-case mapping, the final-sigma rule, the
// origin map for characters that change byte length, and the block-wise ASCII
// path at every length and alignment.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "text/lowercase.hpp"

using fernquill::lower_utf8;
using fernquill::LoweredOffsets;

namespace {

std::string u8(std::u32string_view cps) {
  std::string s;
  for (char32_t c : cps) {
    if (c < 0x80) {
      s += static_cast<char>(c);
    } else if (c < 0x800) {
      s += static_cast<char>(0xC0 | (c >> 6));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      s += static_cast<char>(0xE0 | (c >> 12));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | (c >> 18));
      s += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      s += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      s += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return s;
}

std::string join(const std::vector<std::size_t>& v) {
  std::string s = "[";
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (i) s += ',';
    s += std::to_string(v[i]);
  }
  return s + "]";
}

std::vector<std::size_t> iota(std::size_t from, std::size_t count) {
  std::vector<std::size_t> v(count);
  for (std::size_t i = 0; i < count; ++i) v[i] = from + i;
  return v;
}

void append_repeated(std::vector<std::size_t>& v, std::size_t value, std::size_t count) {
  v.insert(v.end(), count, value);
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }

// Lower-cases, and where some character changed length also maps every
// byte of the result back through LoweredOffsets: `origin` holds, per output
// byte, the input offset of the character that made it.
struct Lowered {
  std::string text;
  bool same_length;
  std::vector<std::size_t> origin;
};

Lowered lower_both(std::string_view in) {
  Lowered r;
  r.same_length = lower_utf8(in, r.text);
  if (!r.same_length) {
    LoweredOffsets offsets(in);
    for (std::size_t s = 0; s < r.text.size(); ++s) {
      offsets.seek(s);
      r.origin.push_back(offsets.input_offset());
      // The character found is whole and holds the byte.
      CHECK(offsets.input_offset() + offsets.input_length() <= in.size());
    }
  }
  return r;
}

}  // namespace

TEST(lower_full_mapping) {
  // Multi-character and length-changing mappings.
  CHECK_EQ(lower_utf8(u8(U"\u0130stanbul")), u8(U"i\u0307stanbul"));
  CHECK_EQ(lower_utf8(u8(U"\u212A")), "k");
  CHECK_EQ(lower_utf8(u8(U"\u023A")), u8(U"\u2C65"));
  CHECK_EQ(lower_utf8(u8(U"\u1E9E")), u8(U"\u00DF"));
  CHECK_EQ(lower_utf8(u8(U"\u2126")), u8(U"\u03C9"));
  // Same-length mappings across the UTF-8 widths.
  CHECK_EQ(lower_utf8(u8(U"\u00C9COLE \u00D6L")), u8(U"\u00E9cole \u00F6l"));
  CHECK_EQ(lower_utf8(u8(U"\u041C\u041E\u0421\u041A\u0412\u0410")),
           u8(U"\u043C\u043E\u0441\u043A\u0432\u0430"));
  CHECK_EQ(lower_utf8(u8(U"\u10A0\u24B6\uFF21")), u8(U"\u2D00\u24D0\uFF41"));
  CHECK_EQ(lower_utf8(u8(U"\U00010400\U0001E900")), u8(U"\U00010428\U0001E922"));
  // Unchanged: lower case, caseless scripts, emoji, ASCII punctuation.
  const std::string fixed = u8(U"stra\u00DFe \u4E2D\u6587 \U0001F600 @[`{ \u03C3\u03C2");
  CHECK_EQ(lower_utf8(fixed), fixed);
  CHECK_EQ(lower_utf8("Hello, WORLD! 123 @[]`{}"), "hello, world! 123 @[]`{}");
  CHECK_EQ(lower_utf8(""), "");
}

TEST(lower_return_value) {
  CHECK(lower_both("ABC def").same_length);
  CHECK(lower_both(u8(U"\u00C9\u0391\u4E2D\U00010400")).same_length);
  CHECK(lower_both(u8(U"A\u03A3")).same_length);
  CHECK(!lower_both(u8(U"\u0130")).same_length);
  CHECK(!lower_both(u8(U"\u212A")).same_length);
  CHECK(!lower_both(u8(U"x\u023Ay")).same_length);
  CHECK(!lower_both(u8(U"\u1E9E")).same_length);
}

TEST(lower_appends_to_output) {
  std::string out = "kept:";
  CHECK(lower_utf8("ABC", out));
  CHECK_EQ(out, "kept:abc");
  CHECK(lower_utf8("D", out));
  CHECK_EQ(out, "kept:abcd");
  // The length report is about the appended text only.
  CHECK(!lower_utf8(u8(U"\u212AZ"), out));
  CHECK_EQ(out, "kept:abcdkz");
  CHECK(lower_utf8("E", out));
}

TEST(lower_final_sigma) {
  struct Case {
    std::u32string in, expected;
  };
  const Case cases[] = {
      {U"\u039F\u0394\u039F\u03A3", U"\u03BF\u03B4\u03BF\u03C2"},
      {U"\u03A3", U"\u03C3"},
      {U"A\u03A3", U"a\u03C2"},
      {U"A\u03A3B", U"a\u03C3b"},
      {U"\u03A3A", U"\u03C3a"},
      {U"1\u03A3", U"1\u03C3"},
      // Case-ignorable characters are skipped on both sides.
      {U"A\u03A3\u0301", U"a\u03C2\u0301"},
      {U"A\u03A3\u0301B", U"a\u03C3\u0301b"},
      {U"A\u00B7\u03A3", U"a\u00B7\u03C2"},
      {U"A'\u03A3", U"a'\u03C2"},
      {U"\u03A3\u0301A", U"\u03C3\u0301a"},
      {U"'\u03A3", U"'\u03C3"},
      // Sigmas are cased neighbours of each other.
      {U"\u03A3\u03A3", U"\u03C3\u03C2"},
      {U"\u03A3\u03A3\u03A3", U"\u03C3\u03C3\u03C2"},
      {U"A\u03A3 \u03A3", U"a\u03C2 \u03C3"},
      // Cased neighbours outside ASCII and Greek, including length-changing ones.
      {U"\u0130\u03A3", U"i\u0307\u03C2"},
      {U"\u212A\u03A3", U"k\u03C2"},
      {U"\u2126\u03A3 x", U"\u03C9\u03C2 x"},
      // U+02B0 and U+0345 are both cased and case-ignorable: only ignorability counts.
      {U"\u02B0\u03A3", U"\u02B0\u03C3"},
      {U"A\u02B0\u03A3", U"a\u02B0\u03C2"},
      {U"A\u03A3\u02B0", U"a\u03C2\u02B0"},
      {U"A\u03A3\u02B0B", U"a\u03C3\u02B0b"},
      {U"\u0345\u03A3", U"\u0345\u03C3"},
      // Words in a sentence.
      {U"\u039F\u0394\u039F\u03A3 \u039A\u0391\u0399 \u03A3\u039F\u03A6\u039F\u03A3.",
       U"\u03BF\u03B4\u03BF\u03C2 \u03BA\u03B1\u03B9 \u03C3\u03BF\u03C6\u03BF\u03C2."},
  };
  for (const Case& c : cases) CHECK_EQ(lower_utf8(u8(c.in)), u8(c.expected));

  // Long runs of ignorable ASCII between the sigma and its cased neighbour.
  const std::string quotes(40, '\'');
  CHECK_EQ(lower_utf8("A" + quotes + u8(U"\u03A3")), "a" + quotes + u8(U"\u03C2"));
  CHECK_EQ(lower_utf8(u8(U"A\u03A3") + quotes + "b"), u8(U"a\u03C3") + quotes + "b");
  CHECK_EQ(lower_utf8(u8(U"A\u03A3") + quotes + "1"), u8(U"a\u03C2") + quotes + "1");
  // Far from the start of the text, past internal buffer sizes.
  const std::string pad(5000, 'X');
  CHECK_EQ(lower_utf8(pad + u8(U"\u03A3")), std::string(5000, 'x') + u8(U"\u03C2"));
  CHECK_EQ(lower_utf8(pad + u8(U" \u03A3") + pad),
           std::string(5000, 'x') + u8(U" \u03C3") + std::string(5000, 'x'));
}

TEST(lower_origin_map) {
  // U+0130 (2 bytes) becomes i + U+0307 (3 bytes).
  Lowered r = lower_both(u8(U"\u0130 apple"));
  CHECK_EQ(r.text, u8(U"i\u0307 apple"));
  CHECK_EQ(join(r.origin), join({0, 0, 0, 2, 3, 4, 5, 6, 7}));

  // Kelvin sign (3 bytes) becomes k (1 byte).
  r = lower_both(u8(U"x\u212Ay"));
  CHECK_EQ(r.text, "xky");
  CHECK_EQ(join(r.origin), join({0, 1, 4}));

  // U+023A (2 bytes) becomes U+2C65 (3 bytes).
  r = lower_both(u8(U"\u023A\u023A"));
  CHECK_EQ(join(r.origin), join({0, 0, 0, 2, 2, 2}));

  // U+1E9E (3 bytes) becomes U+00DF (2 bytes); the Greek letters keep their
  // length, and both bytes of each map to the letter's first byte.
  r = lower_both(u8(U"\u0391\u1E9E\u03A3"));
  CHECK_EQ(r.text, u8(U"\u03B1\u00DF\u03C2"));
  CHECK_EQ(join(r.origin), join({0, 0, 2, 2, 5, 5}));
  r = lower_both(u8(U"\u00C9\u4E2D\U00010400\u212A\u00C9"));
  CHECK_EQ(join(r.origin), join({0, 0, 2, 2, 2, 5, 5, 5, 5, 9, 12, 12}));

  // A long same-length prefix (identity part of the map) and a long ASCII tail.
  for (std::size_t prefix : {0, 1, 15, 16, 17, 33, 4095, 4096, 5000}) {
    for (std::size_t suffix : {0, 1, 16, 40}) {
      const std::string in = std::string(prefix, 'Q') + u8(U"\u0130") + std::string(suffix, 'R');
      r = lower_both(in);
      CHECK_EQ(r.text, std::string(prefix, 'q') + u8(U"i\u0307") + std::string(suffix, 'r'));
      std::vector<std::size_t> expected = iota(0, prefix);
      append_repeated(expected, prefix, 3);
      const std::vector<std::size_t> tail = iota(prefix + 2, suffix);
      expected.insert(expected.end(), tail.begin(), tail.end());
      CHECK(r.origin == expected);
    }
  }
}

TEST(lower_origin_map_long_mixed) {
  // Many length-changing characters mixed with ASCII and same-length
  // characters, long enough to cross internal buffer boundaries.
  struct Piece {
    std::string in, out;
  };
  const Piece pieces[] = {
      {"Ab", "ab"},
      {u8(U"\u212A"), "k"},
      {u8(U"\u0130"), u8(U"i\u0307")},
      {u8(U"\u00C9"), u8(U"\u00E9")},
      {"The QUICK brown fox ", "the quick brown fox "},
      {u8(U"\u1E9E"), u8(U"\u00DF")},
      {u8(U"\u4E2D"), u8(U"\u4E2D")},
      {u8(U"\U00010400"), u8(U"\U00010428")},
  };
  std::mt19937 rng(12345);
  std::string in, expected;
  std::vector<std::size_t> origin;
  while (in.size() < 20000) {
    const Piece& p = pieces[rng() % std::size(pieces)];
    // ASCII pieces map byte for byte; the others are single characters,
    // whose output bytes all come from the character's first byte.
    if (static_cast<unsigned char>(p.in[0]) < 0x80) {
      const std::vector<std::size_t> ids = iota(in.size(), p.in.size());
      origin.insert(origin.end(), ids.begin(), ids.end());
    } else {
      append_repeated(origin, in.size(), p.out.size());
    }
    in += p.in;
    expected += p.out;
  }
  in += u8(U"\u212A");  // make sure at least one character changes length
  append_repeated(origin, in.size() - 3, 1);
  expected += "k";
  const Lowered r = lower_both(in);
  CHECK_EQ(r.text, expected);
  CHECK(!r.same_length);
  CHECK(r.origin == origin);
}

TEST(lower_ascii_lengths_and_alignments) {
  // Every byte value below 0x80, so the edges of 'A'..'Z' are covered.
  std::string pool;
  for (int c = 1; c < 128; ++c) pool += static_cast<char>(c);
  std::mt19937 rng(7);
  std::string buffer(128, ' ');
  for (std::size_t align = 0; align < 16; ++align) {
    for (std::size_t len = 0; len <= 64; ++len) {
      for (std::size_t i = 0; i < buffer.size(); ++i) buffer[i] = pool[rng() % pool.size()];
      const std::string_view in(buffer.data() + align, len);
      std::string expected;
      for (char c : in) expected += ascii_lower(c);
      const Lowered r = lower_both(in);
      CHECK_EQ(r.text, expected);
      CHECK(r.same_length);
    }
  }
}

TEST(lower_non_ascii_at_every_position) {
  // One non-ASCII character at each position of ASCII text of each length,
  // so every split of a 16-byte block is exercised.
  const std::string upper = "ABCDEFGHIJKLMNOPQRSTUVWXYZ[@]^_ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  const struct {
    std::string in, out;
  } specials[] = {{u8(U"\u00C4"), u8(U"\u00E4")},
                  {u8(U"\u0130"), u8(U"i\u0307")},
                  {u8(U"\u212A"), "k"},
                  {u8(U"\U0001E900"), u8(U"\U0001E922")}};
  for (const auto& sp : specials) {
    for (std::size_t len = 0; len <= 40; ++len) {
      for (std::size_t at = 0; at <= len; ++at) {
        const std::string in = upper.substr(0, at) + sp.in + upper.substr(at, len - at);
        std::string expected;
        for (char c : upper.substr(0, at)) expected += ascii_lower(c);
        expected += sp.out;
        for (char c : upper.substr(at, len - at)) expected += ascii_lower(c);
        const Lowered r = lower_both(in);
        CHECK_EQ(r.text, expected);
        CHECK_EQ(r.same_length, sp.in.size() == sp.out.size());
        if (!r.same_length) {
          std::vector<std::size_t> origin = iota(0, at);
          append_repeated(origin, at, sp.out.size());
          const std::vector<std::size_t> tail = iota(at + sp.in.size(), len - at);
          origin.insert(origin.end(), tail.begin(), tail.end());
          CHECK(r.origin == origin);
        }
      }
    }
  }
}

TEST(is_ascii_at_every_length_alignment_and_position) {
  // The test reads whole words, then two overlapping ones for the tail: one
  // high byte at each place of each length and alignment must be seen.
  using fernquill::is_ascii;
  std::string buffer(128, 'a');
  for (std::size_t align = 0; align < 8; ++align) {
    for (std::size_t len = 0; len <= 80; ++len) {
      const std::string_view in(buffer.data() + align, len);
      CHECK(is_ascii(in));
      for (std::size_t at = 0; at < len; ++at) {
        for (unsigned char high : {0x80, 0xC3, 0xFF}) {
          buffer[align + at] = static_cast<char>(high);
          CHECK(!is_ascii(in));
          buffer[align + at] = 'a';
        }
      }
      // High bytes just outside the text are not its own.
      if (align > 0) buffer[align - 1] = static_cast<char>(0xFF);
      buffer[align + len] = static_cast<char>(0xFF);
      CHECK(is_ascii(in));
      if (align > 0) buffer[align - 1] = 'a';
      buffer[align + len] = 'a';
    }
  }
}

TEST(lower_stray_bytes_pass_through) {
  // Not valid UTF-8: must not read out of bounds; odd bytes are copied as they are.
  CHECK_EQ(lower_utf8(std::string("A\xFF") + "B"), std::string("a\xFF") + "b");
  CHECK_EQ(lower_utf8(std::string("\xC3") + "A"), std::string("\xC3") + "a");  // lead, no tail
  CHECK_EQ(lower_utf8("\xE0\x80\x80Z"), "\xE0\x80\x80z");                      // overlong form
  CHECK_EQ(lower_utf8("AB\xCE"), "ab\xCE");
  CHECK_EQ(lower_utf8("AB\xF0\x90"), "ab\xF0\x90");
  CHECK_EQ(lower_utf8("\x80\xCE\xA3"), "\x80\xCF\x83");  // lone continuation before a sigma
  CHECK_EQ(lower_utf8("A\xCE\xA3\xE2"), "a\xCF\x82\xE2");
  std::string noise(300, '\0');
  std::mt19937 rng(99);
  for (int round = 0; round < 200; ++round) {
    for (char& c : noise) c = static_cast<char>(rng());
    const Lowered r = lower_both(noise);
    CHECK(r.same_length || r.origin.size() == r.text.size());
    for (std::size_t o : r.origin) CHECK(o < noise.size());
  }
}

namespace {

// Undoes the escaping of the generated case file: \\, \t, \n and \r.
std::string unescape(std::string_view field) {
  std::string s;
  for (std::size_t i = 0; i < field.size(); ++i) {
    char c = field[i];
    if (c == '\\' && i + 1 < field.size()) {
      const char e = field[++i];
      c = e == 't' ? '\t' : e == 'n' ? '\n' : e == 'r' ? '\r' : e;
    }
    s += c;
  }
  return s;
}

}  // namespace

// Cases generated by tests/test_lowercase_tables.py from the interpreter's
// str.lower(): lines "input<TAB>expected<TAB>origin" (UTF-8 with backslash
// escapes), where origin is "-" when no character changes length, else the
// comma-separated offsets.
// Driven by tests/test_lowercase_tables.py, which writes the cases; a plain
// run of every test leaves it out (see main.cpp).
TEST(driven_lower_generated_cases) {
  const char* path = std::getenv("FERNQUILL_LOWER_CASES");
  CHECK(path != nullptr);
  if (path == nullptr) return;
  std::ifstream file(path);
  CHECK(file.good());
  std::string line;
  std::size_t lines = 0, failed = 0;
  while (std::getline(file, line)) {
    ++lines;
    const std::size_t t1 = line.find('\t');
    const std::size_t t2 = line.find('\t', t1 + 1);
    if (t1 == std::string::npos || t2 == std::string::npos) {
      check::fail(__FILE__, __LINE__, "malformed case line " + std::to_string(lines));
      continue;
    }
    const std::string in = unescape(std::string_view(line).substr(0, t1));
    const std::string expected = unescape(std::string_view(line).substr(t1 + 1, t2 - t1 - 1));
    const std::string origin_text = line.substr(t2 + 1);
    const Lowered r = lower_both(in);
    const std::string& out = r.text;
    std::string got_origin = "-";
    if (!r.same_length) {
      got_origin.clear();
      for (std::size_t i = 0; i < r.origin.size(); ++i) {
        if (i) got_origin += ',';
        got_origin += std::to_string(r.origin[i]);
      }
    }
    if (out != expected || got_origin != origin_text) {
      if (++failed <= 20) {
        check::fail(__FILE__, __LINE__,
                    "line " + std::to_string(lines) + ": input '" + line.substr(0, t1) +
                        "' gave '" + out + "' origin " + got_origin + ", expected '" + expected +
                        "' origin " + origin_text);
      }
    }
  }
  CHECK(lines > 0);
  CHECK_EQ(failed, 0u);
}

TEST(lower_grows_a_character_by_half_at_most) {
  // lower_utf8 reserves one and a half times the input so that its output
  // never moves while it grows; every character must keep to that.
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (cp >= 0xD800 && cp < 0xE000) continue;
    const std::string in = u8(std::u32string(1, cp));
    const std::string out = lower_utf8(in);
    if (out.size() > in.size() + in.size() / 2) {
      CHECK_EQ(out.size(), in.size() + in.size() / 2);
      return;
    }
  }
}
