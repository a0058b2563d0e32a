// The scan options against the literal reference with options, on random
// processors and texts over many scripts, and the cases that motivate them.
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "keyword_processor/extract.hpp"
#include "text/word_chars.hpp"
#include "whole_word_search.hpp"

namespace {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;
using fernquill::ScanOptions;

const ScanOptions kUnicode{true, false};
const ScanOptions kFallback{false, true};
const ScanOptions kBoth{true, true};

std::string describe(const std::vector<KeywordMatch>& ms) {
  std::ostringstream os;
  for (const auto& m : ms) os << "('" << m.keyword << "', " << m.start << ", " << m.end << ") ";
  return os.str();
}

// Pieces of texts and keywords: ASCII, German, French, Turkish, Russian,
// Greek and CJK letters, a combining acute, digits of two scripts,
// punctuation, the trim bytes and the underscore.
const std::vector<std::string> kPieces = {
    "a",         "b",         "r",         "A",         " ",  " ",  "\t",       "\n", ",",
    "-",         "_",         "1",         "\xC3\xBC",  "\xC3\x9C",  "\xC3\x9F", "\xC3\xA9",
    "\xC4\xB0",  "\xC4\xB1",  "\xD0\xB4",  "\xD0\x94",  "\xCE\xA3",  "\xCF\x83", "\xCE\xBB",
    "\xE6\x97\xA5", "\xE6\x9C\xAC", "\xCC\x81", "\xD9\xA3", "\xE2\x80\x94", "\xC2\xA0"};

std::string random_string(std::mt19937_64& rng, std::size_t max_len) {
  std::string s;
  for (std::size_t k = rng() % (max_len + 1); k > 0; --k) s += kPieces[rng() % kPieces.size()];
  return s;
}

bool agrees(const KeywordProcessor& kp, const std::string& text, std::optional<float> t,
            const ScanOptions& options, int line) {
  const auto got = fernquill::extract_keywords(kp, text, t, options);
  const auto want = oracle::extract_with(kp, text, t, options);
  if (oracle::same(got, want)) return true;
  std::ostringstream os;
  os << "text '" << text << "' unicode=" << options.unicode_words
     << " fallback=" << options.whole_word_fallback << " cs=" << kp.case_sensitive()
     << " t=" << t.value_or(1.0f) << "\n got " << describe(got) << "\n want " << describe(want);
  check::fail(__FILE__, line, os.str());
  return false;
}

TEST(whole_words_random_match_literal_reference) {
  std::mt19937_64 rng(22);
  int compared = 0;
  for (int p = 0; p < 300; ++p) {
    KeywordProcessor kp(rng() % 2 == 0, rng() % 8 == 0);
    switch (rng() % 4) {
      case 0:  // custom word characters by code point: underscore, a dash, ü
        kp.add_word_char('_');
        kp.add_word_char(0x2014);
        break;
      case 1: {  // the bytes of multi-byte characters as word characters
        std::vector<std::uint32_t> chars{'a', 'b', 0xC3, 0xBC, 0xA0};
        kp.set_word_chars(chars);
        break;
      }
      default:
        break;
    }
    for (int k = 1 + static_cast<int>(rng() % 10); k > 0; --k) {
      // Keywords that are prefixes of each other and sit at word edges.
      const std::string kw = random_string(rng, 3);
      kp.add_keyword(kw, std::nullopt);
      kp.add_keyword(kw + random_string(rng, 2), std::nullopt);
    }
    for (int q = 0; q < 20; ++q) {
      const std::string text = random_string(rng, 40);
      const std::optional<float> t =
          rng() % 5 == 0 ? std::optional<float>(0.7f + static_cast<float>(rng() % 30) / 100.0f)
                         : std::nullopt;
      for (const ScanOptions& options : {kUnicode, kFallback, kBoth}) {
        ++compared;
        if (!agrees(kp, text, t, options, __LINE__)) return;
      }
    }
  }
  CHECK_EQ(compared, 300 * 20 * 3);
}

TEST(whole_words_default_options_are_the_module_scan) {
  std::mt19937_64 rng(23);
  for (int p = 0; p < 100; ++p) {
    KeywordProcessor kp(rng() % 2 == 0, rng() % 4 == 0);
    for (int k = 0; k < 8; ++k) kp.add_keyword(random_string(rng, 4), std::nullopt);
    for (int q = 0; q < 10; ++q) {
      const std::string text = random_string(rng, 60);
      const auto plain = fernquill::extract_keywords(kp, text, std::nullopt);
      CHECK(oracle::same(fernquill::extract_keywords(kp, text, std::nullopt, ScanOptions{}), plain));
      CHECK_EQ(fernquill::replace_keywords(kp, text, std::nullopt, ScanOptions{}),
               fernquill::replace_keywords(kp, text, std::nullopt));
    }
  }
}

struct Case {
  std::vector<std::string> keywords;
  std::string text;
  ScanOptions options;
  std::string want;  // the matched spans of the text, as "keyword@start-end" joined by spaces
};

std::string spans(const std::vector<KeywordMatch>& ms) {
  std::string s;
  for (const auto& m : ms) {
    if (!s.empty()) s += ' ';
    s += std::string(m.keyword) + "@" + std::to_string(m.start) + "-" + std::to_string(m.end);
  }
  return s;
}

TEST(whole_words_cases) {
  const std::vector<Case> cases = {
      // Byte tests see the bytes of 'ü' and 'ß' as non-word bytes.
      {{"zur"}, "zur\xC3\xBC" "ck", {}, "zur@0-3"},
      {{"zur"}, "zur\xC3\xBC" "ck", kUnicode, ""},
      {{"da"}, "da\xC3\x9F", kUnicode, ""},
      {{"ck"}, "zur\xC3\xBC" "ck", {}, "ck@5-7"},
      {{"ck"}, "zur\xC3\xBC" "ck", kUnicode, ""},
      {{"m\xC3\xBC" "de"}, "sehr m\xC3\xBC" "de.", kUnicode, "m\xC3\xBC" "de@5-10"},
      // A combining mark after the keyword belongs to the word.
      {{"cafe"}, "cafe\xCC\x81 noir", kUnicode, ""},
      {{"cafe"}, "cafe\xCC\x81 noir", {}, "cafe@0-4"},
      // CJK letters are word characters; punctuation and spaces are not.
      {{"\xE6\x97\xA5"}, "\xE6\x97\xA5\xE6\x9C\xAC", kUnicode, ""},
      {{"\xE6\x97\xA5"}, "\xE6\x97\xA5\xE3\x80\x82", kUnicode, "\xE6\x97\xA5@0-3"},
      // Digits of other scripts are digits; the no-break space is not a letter.
      {{"x"}, "x\xD9\xA3", kUnicode, ""},
      {{"x"}, "x\xC2\xA0y", kUnicode, "x@0-1"},
      // The fallback takes the longest keyword on the path that is a whole word.
      {{"new", "new york"}, "new yorker", {}, ""},
      {{"new", "new york"}, "new yorker", kFallback, "new@0-3"},
      {{"that", "that make"}, "that makes", kBoth, "that@0-4"},
      {{"a", "ab", "abc"}, "abcd ab", kFallback, "ab@5-7"},
      {{"d", "d\xC3\xBC"}, "d\xC3\xBCr", kBoth, ""},
      {{"d", "d\xC3\xBC"}, "d\xC3\xBC r", kBoth, "d\xC3\xBC@0-3"},
      // Without the fallback the longest keyword alone is tried.
      {{"new", "new york"}, "new yorker", kUnicode, ""},
  };
  for (const Case& c : cases) {
    KeywordProcessor kp(false, false);
    for (const std::string& k : c.keywords) kp.add_keyword(k, std::nullopt);
    const std::string got = spans(fernquill::extract_keywords(kp, c.text, std::nullopt, c.options));
    if (got != c.want) check::fail(__FILE__, __LINE__, "'" + c.text + "': " + got + " != " + c.want);
    CHECK(agrees(kp, c.text, std::nullopt, c.options, __LINE__));
  }
}

TEST(whole_words_word_set_by_code_point) {
  // The set's bits above U+00FF count with the character test, and its bits
  // for bytes of multi-byte characters no longer misfire.
  KeywordProcessor kp(false, false);
  kp.add_keyword("a", std::nullopt);
  const std::string dash = "a\xE2\x80\x94" "b";  // 'a', an em dash, 'b'
  CHECK_EQ(spans(fernquill::extract_keywords(kp, dash, std::nullopt, kUnicode)), "a@0-1");
  kp.add_word_char(0x2014);
  CHECK_EQ(spans(fernquill::extract_keywords(kp, dash, std::nullopt, kUnicode)), "");
  kp.add_word_char(0xE2);  // the em dash's lead byte as a code point: 'â'
  CHECK_EQ(spans(fernquill::extract_keywords(kp, "a\xE2\x80\x9C", std::nullopt, kUnicode)), "a@0-1");
  CHECK_EQ(spans(fernquill::extract_keywords(kp, "a\xE2\x80\x9C", std::nullopt, {})), "");
}

TEST(whole_words_replace_uses_the_options) {
  KeywordProcessor kp(false, false);
  kp.add_keyword("new", "N");
  kp.add_keyword("new york", "NY");
  kp.add_keyword("zur", "Z");
  const std::string text = "New Yorker zur\xC3\xBC" "ck zur";
  CHECK_EQ(fernquill::replace_keywords(kp, text, std::nullopt, kBoth),
           "N Yorker zur\xC3\xBC" "ck Z");
  CHECK_EQ(fernquill::replace_keywords(kp, text, std::nullopt), "New Yorker Z\xC3\xBC" "ck Z");
}

TEST(whole_words_with_overlaps_change_nothing) {
  KeywordProcessor kp(false, true);
  kp.add_keyword("cat", std::nullopt);
  for (const ScanOptions& options : {kUnicode, kFallback, kBoth}) {
    CHECK_EQ(spans(fernquill::extract_keywords(kp, "\xC3\xBC" "catcat", std::nullopt, options)),
             "cat@2-5 cat@5-8");
  }
}

TEST(whole_words_approximate) {
  // The approximate search keeps its own candidates; the character test
  // then drops those glued to a letter, and the fallback changes nothing.
  KeywordProcessor kp(false, false);
  kp.add_keyword("hello", std::nullopt);
  const std::string glued = "\xC3\xA9helo world";
  CHECK_EQ(spans(fernquill::extract_keywords(kp, glued, 0.8f, {})), "hello@2-6");
  CHECK_EQ(spans(fernquill::extract_keywords(kp, glued, 0.8f, kUnicode)), "");
  CHECK_EQ(spans(fernquill::extract_keywords(kp, "helo w\xC3\xB6rld", 0.8f, kBoth)), "hello@0-4");
  std::mt19937_64 rng(24);
  for (int q = 0; q < 200; ++q) {
    const std::string text = random_string(rng, 20);
    CHECK(oracle::same(fernquill::extract_keywords(kp, text, 0.8f, kFallback),
                       fernquill::extract_keywords(kp, text, 0.8f)));
  }
}

TEST(whole_words_from_many_threads_after_a_change) {
  // Option scans compile the index on first use; eight threads race for it
  // on a freshly changed processor and must all see the reference result.
  std::mt19937_64 rng(25);
  KeywordProcessor kp(false, false);
  for (int k = 0; k < 40; ++k) kp.add_keyword(random_string(rng, 4), std::nullopt);
  std::vector<std::string> texts;
  for (int q = 0; q < 50; ++q) texts.push_back(random_string(rng, 80));
  std::vector<std::vector<KeywordMatch>> want;
  kp.add_keyword("\xC3\xBC", std::nullopt);  // a change: the compiled index is dropped
  for (const std::string& t : texts) want.push_back(oracle::extract_with(kp, t, std::nullopt, kBoth));
  std::vector<int> wrong(8, 0);
  std::vector<std::thread> threads;
  for (int th = 0; th < 8; ++th) {
    threads.emplace_back([&, th] {
      for (std::size_t q = 0; q < texts.size(); ++q) {
        const auto got = fernquill::extract_keywords(kp, texts[q], std::nullopt, kBoth);
        if (!oracle::same(got, want[q])) ++wrong[th];
      }
    });
  }
  for (auto& t : threads) t.join();
  for (int th = 0; th < 8; ++th) CHECK_EQ(wrong[th], 0);
}

TEST(unicode_word_chars_table) {
  struct Probe {
    std::uint32_t c;
    bool word;
  };
  const Probe probes[] = {{'a', true},     {'Z', true},     {'0', true},     {'_', false},
                          {' ', false},    {0xFC, true},    {0xDF, true},    {0x301, true},
                          {0x663, true},   {0x65E5, true},  {0x3002, false}, {0xA0, false},
                          {0x2014, false}, {0xB2, false},   {0x10FFFF, false}, {0x110000, false},
                          {0x20000, true}, {0x1F600, false}};
  for (const Probe& p : probes) {
    if (fernquill::is_unicode_word_char(p.c) != p.word) {
      check::fail(__FILE__, __LINE__, "code point " + std::to_string(p.c));
    }
  }
}

}  // namespace
