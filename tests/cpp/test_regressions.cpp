// Cases that hostile use and fuzzing found, and the edge cases every engine
// must agree on, run through every engine (every_engine.hpp).
#include <optional>
#include <string>
#include <vector>

#include "check.hpp"
#include "every_engine.hpp"

namespace {

struct Case {
  const char* what;
  std::vector<std::pair<std::string, std::optional<std::string>>> keywords;
  bool case_sensitive;
  bool allow_overlaps;
  bool no_word_chars;
  std::string text;
  std::vector<float> thresholds;
};

const std::vector<Case> regressions = {
    {"the longest keyword fails the end test and nothing shorter is tried",
     {{"new", std::nullopt}, {"new york", std::nullopt}},
     false,
     false,
     false,
     "new yorker, New York City",
     {1.0f, 0.9f, 0.5f}},
    {"a one-byte keyword reached by skipping its byte consumes nothing",
     {{"a", std::nullopt}, {"", "empty"}},
     false,
     false,
     false,
     "a b a",
     {0.0f, 0.3f, 0.5f, 0.9f}},
    {"clean names longer than their keywords set the denominator",
     {{"hello", "greeting"}, {"helo", "hi"}},
     false,
     false,
     false,
     "helo world hallo",
     {0.75f, 0.8f}},
    {"ties go to the first state popped",
     {{"abc", std::nullopt}, {"abd", std::nullopt}},
     true,
     false,
     false,
     "abx y xabc",
     {0.6f, 0.66f, 0.67f}},
    {"dense keywords over two letters without word characters",
     {{"abbabaabab", std::nullopt},
      {"abbabbaaba", std::nullopt},
      {"babbabaabb", std::nullopt},
      {"aabbabbaab", std::nullopt},
      {"abababbbab", std::nullopt},
      {"bbabaabbab", std::nullopt}},
     true,
     false,
     true,
     "abbababbabaab",
     {0.2f, 0.3f, 0.45f, 0.6f}},
    {"trim bytes around a match and overlaps allowed",
     {{" go", std::nullopt}, {"cat", std::nullopt}},
     false,
     true,
     false,
     "a, go concatenate catcat",
     {1.0f, 0.7f}},
    {"multi-byte characters and folding that lengthens the text",
     {{"café", std::nullopt}, {"apple", std::nullopt}},
     false,
     false,
     false,
     "\xC4\xB0 apple un café CAFÉ",
     {1.0f, 0.8f}},
};

TEST(regressions_agree_on_every_engine) {
  every_engine::Counts counts;
  for (const Case& c : regressions) {
    fernquill::KeywordProcessor kp(c.case_sensitive, c.allow_overlaps);
    if (c.no_word_chars) kp.set_word_chars({});
    for (const auto& [keyword, name] : c.keywords) kp.add_keyword(keyword, name);
    for (const float t : c.thresholds) {
      if (!every_engine::check(kp, c.text, t, counts)) std::cerr << "  in: " << c.what << "\n";
    }
  }
  CHECK(counts.cases >= 20u);
  CHECK(counts.matches >= 20u);
}

}  // namespace
