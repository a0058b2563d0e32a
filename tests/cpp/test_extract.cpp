// Extraction at the engine level: word boundaries, longest match, clean
// names, byte offsets, the approximate search's similarities and tie order,
// the threshold range, and the rule that a candidate must consume text.
#include <bit>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "check.hpp"
#include "every_engine.hpp"
#include "keyword_processor/extract.hpp"
#include "support/fault.hpp"

namespace {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;

struct Want {
  std::string keyword;
  float similarity;
  std::size_t start, end;
};

// Similarities are compared bit for bit: 0.8f is the float nearest 0.8.
// Every engine must then give the literal search's matches, which must be
// these.
void expect(const KeywordProcessor& kp, std::string_view text, std::optional<float> t,
            std::initializer_list<Want> want, int line) {
  auto got = fernquill::extract_keywords(kp, text, t);
  bool ok = got.size() == want.size();
  std::size_t k = 0;
  for (const Want& w : want) {
    if (!ok) break;
    const KeywordMatch& m = got[k++];
    ok = m.keyword == w.keyword && m.start == w.start && m.end == w.end &&
         std::bit_cast<std::uint32_t>(m.similarity) == std::bit_cast<std::uint32_t>(w.similarity);
  }
  if (!ok) {
    check::fail(__FILE__, line,
                "text '" + std::string(text) + "' got " + every_engine::describe(got));
  }
  if (!every_engine::check(kp, text, t)) check::fail(__FILE__, line, "engines differ");
}
#define EXPECT(kp, text, t, ...) expect(kp, text, t, __VA_ARGS__, __LINE__)

std::unique_ptr<KeywordProcessor> with(std::initializer_list<const char*> keywords, bool cs = false,
                                       bool overlaps = false) {
  auto kp = std::make_unique<KeywordProcessor>(cs, overlaps);
  for (const char* k : keywords) kp->add_keyword(k, std::nullopt);
  return kp;
}

TEST(extract_word_boundaries) {
  KeywordProcessor kp(false, false);
  kp.add_keyword("coffee", std::nullopt);
  EXPECT(kp, "coffee is hot", std::nullopt, {{"coffee", 1.0f, 0, 6}});
  EXPECT(kp, "I like coffee", std::nullopt, {{"coffee", 1.0f, 7, 13}});
  EXPECT(kp, "coffees", std::nullopt, {});
  EXPECT(kp, "coffee3", std::nullopt, {});
  EXPECT(kp, "xcoffee", std::nullopt, {});
  EXPECT(kp, "coffee!", std::nullopt, {{"coffee", 1.0f, 0, 6}});
  EXPECT(kp, "_coffee_", std::nullopt, {{"coffee", 1.0f, 1, 7}});
  EXPECT(kp, "COFFEE, Coffee", std::nullopt, {{"coffee", 1.0f, 0, 6}, {"coffee", 1.0f, 8, 14}});
  kp.add_word_char('_');
  EXPECT(kp, "_coffee_", std::nullopt, {});
}

TEST(extract_case_sensitive) {
  KeywordProcessor kp(true, false);
  kp.add_keyword("Coffee", std::nullopt);
  EXPECT(kp, "coffee Coffee", std::nullopt, {{"Coffee", 1.0f, 7, 13}});
  EXPECT(kp, "COFFEE", std::nullopt, {});
}

TEST(extract_longest_candidate_only) {
  auto kp_owner = with({"new", "new york"});
  KeywordProcessor& kp = *kp_owner;
  EXPECT(kp, "New York City", std::nullopt, {{"new york", 1.0f, 0, 8}});
  // The longest candidate fails the end test and the shorter one is not tried.
  EXPECT(kp, "new yorker", std::nullopt, {});
  EXPECT(kp, "new yorker new", std::nullopt, {{"new", 1.0f, 11, 14}});
  // Approximate search reaches the shorter exact keyword first.
  EXPECT(kp, "new york", 0.9f, {{"new", 1.0f, 0, 3}});
}

TEST(extract_allow_overlaps) {
  auto kp_owner = with({"cat"}, false, true);
  KeywordProcessor& kp = *kp_owner;
  EXPECT(kp, "concatenate", std::nullopt, {{"cat", 1.0f, 3, 6}});
  EXPECT(kp, "catcat", std::nullopt, {{"cat", 1.0f, 0, 3}, {"cat", 1.0f, 3, 6}});
  auto two_owner = with({"abc", "bcd"}, false, true);
  KeywordProcessor& two = *two_owner;
  EXPECT(two, "abcd", std::nullopt, {{"abc", 1.0f, 0, 3}});
  auto strict_owner = with({"abc", "bcd"});
  KeywordProcessor& strict = *strict_owner;
  EXPECT(strict, "abcd", std::nullopt, {});
}

TEST(extract_leading_space_keyword) {
  auto kp_owner = with({" go"});
  KeywordProcessor& kp = *kp_owner;
  EXPECT(kp, "a, go", std::nullopt, {{" go", 1.0f, 3, 5}});
  EXPECT(kp, "we go", std::nullopt, {});
  EXPECT(kp, " go", std::nullopt, {{" go", 1.0f, 1, 3}});
}

TEST(extract_clean_names) {
  KeywordProcessor kp(false, false);
  kp.add_keyword("NY", "New York");
  kp.add_keyword("LA", "Los Angeles");
  EXPECT(kp, "from ny to la", std::nullopt,
         {{"New York", 1.0f, 5, 7}, {"Los Angeles", 1.0f, 11, 13}});
  kp.add_keyword("ny", "Big Apple");
  EXPECT(kp, "from NY", std::nullopt, {{"Big Apple", 1.0f, 5, 7}});
  kp.remove_keyword("Ny");
  EXPECT(kp, "from ny to la", std::nullopt, {{"Los Angeles", 1.0f, 11, 13}});
}

TEST(extract_non_ascii_bytes) {
  auto kp_owner = with({"caf"});
  KeywordProcessor& kp = *kp_owner;
  EXPECT(kp, "caf\xC3\xA9", std::nullopt, {{"caf", 1.0f, 0, 3}});
  kp.add_word_char(0xC3);
  EXPECT(kp, "caf\xC3\xA9", std::nullopt, {});
  auto cafe_owner = with({"caf\xC3\xA9"});
  KeywordProcessor& cafe = *cafe_owner;
  EXPECT(cafe, "un caf\xC3\xA9", std::nullopt, {{"caf\xC3\xA9", 1.0f, 3, 8}});
  EXPECT(cafe, "UN CAF\xC3\x89!", std::nullopt, {{"caf\xC3\xA9", 1.0f, 3, 8}});
  // U+0130 lower-cases to three bytes: offsets are those of the folded text.
  auto apple_owner = with({"apple"});
  KeywordProcessor& apple = *apple_owner;
  EXPECT(apple, "\xC4\xB0 apple", std::nullopt, {{"apple", 1.0f, 4, 9}});
  EXPECT(apple, "\xC4\xB0 APPLE", std::nullopt, {{"apple", 1.0f, 4, 9}});
}

TEST(extract_approximate_similarities) {
  auto kp_owner = with({"hello"});
  KeywordProcessor& kp = *kp_owner;
  EXPECT(kp, "helo world", 0.8f, {{"hello", 0.8f, 0, 4}});
  EXPECT(kp, "hallo world", 0.8f, {{"hello", 0.8f, 0, 5}});
  EXPECT(kp, "say helo", 0.8f, {{"hello", 0.8f, 4, 8}});
  EXPECT(kp, "say helo", 0.85f, {});
  EXPECT(kp, "he llo world", 0.8f, {{"hello", 0.83f, 0, 6}});
  EXPECT(kp, "hellox", 0.9f, {});
  EXPECT(kp, "helloxx yo", 0.9f, {{"hello", 1.0f, 0, 5}});
  EXPECT(kp, "hello", 0.9f, {{"hello", 1.0f, 0, 5}});
  // The similarity reads back as the float nearest 0.8, not as 0.8 itself.
  auto m = fernquill::extract_keywords(kp, "helo world", 0.8f);
  CHECK(m.size() == 1 && static_cast<double>(m[0].similarity) == 0.800000011920929);
}

TEST(extract_clean_name_sets_denominator) {
  KeywordProcessor kp(false, false);
  kp.add_keyword("hello", "greeting");
  EXPECT(kp, "helo world", 0.8f, {{"greeting", 0.88f, 0, 4}});
  KeywordProcessor hi(false, false);
  hi.add_keyword("hello", "hi");
  EXPECT(hi, "helo world", 0.8f, {});
  EXPECT(hi, "helo world", 0.75f, {{"hi", 0.75f, 0, 4}});
}

TEST(extract_tie_order_and_unrounded_threshold) {
  auto kp_owner = with({"abc"});
  KeywordProcessor& kp = *kp_owner;
  EXPECT(kp, "abx y", 0.6f, {{"abc", 0.67f, 0, 2}});
  EXPECT(kp, "xabc", 0.6f, {{"abc", 0.75f, 0, 4}});
  // 1 - 1/3 in float lies below 0.67 but above 0.66.
  EXPECT(kp, "abx y", 0.67f, {});
  EXPECT(kp, "abx y", 0.66f, {{"abc", 0.67f, 0, 2}});
  auto m = fernquill::extract_keywords(kp, "abx y", 0.6f);
  CHECK(m.size() == 1 && static_cast<double>(m[0].similarity) == 0.6700000166893005);
  // Of two siblings at equal similarity, the search explores the child with
  // the larger byte first, so 'abd' wins over 'abc' for the replaced byte.
  auto sib_owner = with({"abc", "abd"});
  KeywordProcessor& sib = *sib_owner;
  EXPECT(sib, "abx y", 0.6f, {{"abd", 0.67f, 0, 2}});
  // Without a non-word byte among the three after the span, the end test fails.
  EXPECT(sib, "abx", 0.6f, {});
}

TEST(extract_trailing_trim_and_end_test) {
  auto kp_owner = with({"abcd"});
  KeywordProcessor& kp = *kp_owner;
  // The search consumes the space ('abc ' for 'abcd'); the span stops before it.
  EXPECT(kp, "abc x", 0.7f, {{"abcd", 0.75f, 0, 3}});
  // Up to two word bytes may follow an approximate match.
  EXPECT(kp, "abcdxy z", 0.7f, {{"abcd", 1.0f, 0, 4}});
  EXPECT(kp, "abcdxyz z", 0.7f, {});
  // The end of the text counts only when the span reaches it exactly.
  EXPECT(kp, "abcdxy", 0.7f, {});
}

TEST(extract_threshold_range) {
  auto kp_owner = with({"a"});
  KeywordProcessor& kp = *kp_owner;
  for (float bad : {1.1f, -0.1f, std::numeric_limits<float>::quiet_NaN(),
                    std::numeric_limits<float>::infinity()}) {
    for (const char* text : {"", "a"}) {
      bool thrown = false;
      try {
        fernquill::extract_keywords(kp, text, bad);
      } catch (const fernquill::Fault& f) {
        thrown = f.message() == "Threshold must be between 0 and 1";
      }
      CHECK(thrown);
    }
  }
  EXPECT(kp, "a", -0.0f, {{"a", 1.0f, 0, 1}});
  EXPECT(kp, "a", 1.0f, {{"a", 1.0f, 0, 1}});
  EXPECT(kp, "a", std::nullopt, {{"a", 1.0f, 0, 1}});
  EXPECT(kp, "", 0.5f, {});
  KeywordProcessor empty(false, false);
  EXPECT(empty, "some text", std::nullopt, {});
  EXPECT(empty, "some text", 0.5f, {});
}

TEST(extract_candidates_must_consume_text) {
  // The empty keyword lives at the root. The root as the search starts
  // (nothing consumed, similarity 1.0) is never a candidate, so it cannot
  // shadow a real keyword; the root reached by skipping text bytes is.
  KeywordProcessor kp(false, false);
  kp.add_keyword("", "a long clean name");
  EXPECT(kp, "ab", std::nullopt, {});
  EXPECT(kp, "ab", 0.5f, {});  // consumes 'a', then 'b' glued to it fails the end test
  EXPECT(kp, "a b", 0.5f, {{"a long clean name", 0.94f, 0, 1}, {"a long clean name", 0.94f, 2, 3}});
  kp.add_keyword("ab", std::nullopt);
  EXPECT(kp, "ab", 0.5f, {{"ab", 1.0f, 0, 2}});
  // A one-byte keyword is reachable by skipping its byte (1 - 1/2 = 0.5 with a
  // two-byte clean name); only states that consumed text count, so 'q' scores
  // through replacement instead and the scan moves on.
  KeywordProcessor one(false, false);
  one.add_keyword("q", "qq");
  EXPECT(one, "x y", 0.5f, {{"qq", 0.5f, 0, 1}, {"qq", 0.5f, 2, 3}});
  EXPECT(one, "q", 0.5f, {{"qq", 1.0f, 0, 1}});
  auto plain_owner = with({"q"});
  KeywordProcessor& plain = *plain_owner;
  EXPECT(plain, "x", 0.5f, {});
  EXPECT(plain, "xq", 0.5f, {{"q", 0.5f, 0, 2}});
}

}  // namespace
