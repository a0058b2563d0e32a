// Exact extraction with a store too large to stay in the core's cache, which
// the scan walks in rounds rather than one walk at a time, through every
// engine against the literal reference. Texts span several 4 KiB chunks and
// end inside walks.
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "every_engine.hpp"
#include "exact/scan_index.hpp"
#include "random_text.hpp"

using fernquill::KeywordProcessor;

TEST(exact_scan_large_store_matches_literal_search) {
  std::mt19937_64 rng(11);
  // Keywords over few letters share long prefixes, so walks run deep; the
  // space and the capitals make word boundaries and folding matter.
  const std::string letters = "abcd";
  const std::string text_alphabet = "abcdABCD  ,\xC3\xA9";
  for (int p = 0; p < 4; ++p) {
    KeywordProcessor kp(p % 2 == 1, p >= 2);
    if (p == 1) kp.add_word_char(' ');
    while (kp.count_keywords() < 40000) {
      std::string k = random_text(rng, letters, 3 + rng() % 14);
      if (rng() % 5 == 0) {
        k += ' ';
        k += random_text(rng, letters, 1 + rng() % 4);
      }
      kp.add_keyword(k, std::nullopt);
    }
    kp.add_keyword("a", std::nullopt);
    kp.add_keyword("ab", std::nullopt);
    // Large enough that the scan takes the path for stores outside the cache.
    CHECK(kp.scan_index().slot_count() > (std::size_t{1} << 17));
    for (int t = 0; t < 6; ++t) {
      const std::size_t len = t == 0 ? 3 : 1 + rng() % 20000;
      std::string text = random_text(rng, text_alphabet, len);
      // End inside a keyword, so walks reach the end of the text.
      if (t % 2 == 1) text += "abcdabcdab";
      every_engine::Counts counts;
      CHECK(every_engine::check(kp, text, 1.0f, counts));
      CHECK(counts.matches > 0 || len < 100);
    }
  }
}
