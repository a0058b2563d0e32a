// The engine's extraction against the literal reference on many random
// processors and texts. Small alphabets make matches, near misses and ties
// frequent; random word sets, non-ASCII bytes and both options cover the
// boundary tests.
#include <bit>
#include <cstdint>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "every_engine.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"

namespace {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;

// Runs the case through every engine against the literal search; reports a
// difference at `line`.
bool agrees_with_oracle(const KeywordProcessor& kp, const std::string& text, float t, int line) {
  if (every_engine::check(kp, text, t)) return true;
  check::fail(__FILE__, line, "engines differ");
  return false;
}

// Pieces that texts and keywords are made of: ASCII letters of both cases,
// the trim bytes, punctuation, and multi-byte characters (one of which,
// U+0130, changes length when lower-cased).
const std::vector<std::string> kRich = {
    "a",  "b", "c", "A",        "B",        " ",        " ",        "\t",
    "\n", ",", "-", "\xC3\xA9", "\xC3\x89", "\xC3\x9F", "\xC4\xB0", "\xCE\xA3"};

struct Alphabet {
  std::vector<std::string> pieces;
};

std::string random_string(std::mt19937_64& rng, const std::vector<std::string>& pieces,
                          std::size_t max_len) {
  std::size_t len = rng() % (max_len + 1);
  std::string s;
  for (std::size_t k = 0; k < len; ++k) s += pieces[rng() % pieces.size()];
  return s;
}

struct Trial {
  bool case_sensitive, overlaps;
  std::vector<std::string> pieces;
};

int run_random(std::uint64_t seed, int processors, int texts_per, std::size_t max_text,
               bool low_thresholds) {
  std::mt19937_64 rng(seed);
  const std::vector<std::vector<std::string>> alphabets = {
      {"a", "b", " "}, {"a", "b", "c"}, {"a", "b", "A", " "}, kRich};
  int compared = 0;
  for (int p = 0; p < processors; ++p) {
    const auto& pieces = alphabets[rng() % alphabets.size()];
    KeywordProcessor kp(rng() % 2 == 0, rng() % 4 == 0);
    switch (rng() % 4) {
      case 0: {  // random byte-range word set, including space and bytes >= 0x80
        std::vector<std::uint32_t> chars;
        for (std::uint32_t b = 0; b < 256; ++b) {
          if (rng() % 3 == 0) chars.push_back(b);
        }
        kp.set_word_chars(chars);
        break;
      }
      case 1:
        kp.add_word_char(' ');
        kp.add_word_char(0xC3);
        break;
      default:
        break;
    }
    int keywords = 1 + static_cast<int>(rng() % 12);
    std::vector<std::string> added;
    for (int k = 0; k < keywords; ++k) {
      std::string kw = random_string(rng, pieces, 5);
      if (rng() % 3 == 0) {
        kp.add_keyword(kw, random_string(rng, {"x", "y", "zz", "\xC3\xA9"}, 7));
      } else {
        kp.add_keyword(kw, std::nullopt);
      }
      added.push_back(kw);
    }
    if (rng() % 3 == 0) kp.remove_keyword(added[rng() % added.size()]);
    for (int q = 0; q < texts_per; ++q) {
      std::string text = random_string(rng, pieces, max_text);
      std::optional<float> t;
      switch (rng() % 4) {
        case 0:
          t = std::nullopt;
          break;
        case 1:
          t = 1.0f;
          break;
        default:
          t = low_thresholds ? static_cast<float>(rng() % 50) / 100.0f
                             : 0.5f + static_cast<float>(rng() % 46) / 100.0f;
      }
      ++compared;
      if (!every_engine::check(kp, text, t)) {
        std::ostringstream os;
        os << "seed " << seed << " processor " << p << " cs=" << kp.case_sensitive()
           << " ov=" << kp.allow_overlaps() << " keywords:";
        for (const auto& kw : added) os << " '" << kw << "'";
        check::fail(__FILE__, __LINE__, os.str());
        return compared;
      }
    }
  }
  return compared;
}

TEST(extract_random_matches_literal_search) {
  CHECK(run_random(1, 400, 25, 40, false) == 400 * 25 || check::failures() > 0);
  CHECK(run_random(2, 200, 10, 120, false) == 200 * 10 || check::failures() > 0);
}

TEST(extract_random_low_thresholds_on_short_texts) {
  // Below 0.5 the search grows quickly with the remaining text; keep texts short.
  CHECK(run_random(3, 300, 20, 9, true) == 300 * 20 || check::failures() > 0);
}

TEST(extract_random_many_keywords) {
  // Dense tries: many keywords over "ab " and "abc", so every node has all
  // children and ties between siblings are common.
  std::mt19937_64 rng(7);
  for (int p = 0; p < 40; ++p) {
    KeywordProcessor kp(true, p % 2 == 1);
    const std::vector<std::string> pieces = p % 3 == 0 ? std::vector<std::string>{"a", "b", " "}
                                                       : std::vector<std::string>{"a", "b", "c"};
    for (int k = 0; k < 60; ++k) kp.add_keyword(random_string(rng, pieces, 7), std::nullopt);
    for (int q = 0; q < 30; ++q) {
      std::string text = random_string(rng, pieces, 200);
      for (float t : {1.0f, 0.95f, 0.9f, 0.8f, 0.75f, 0.7f, 0.6f}) {
        if (!agrees_with_oracle(kp, text, t, __LINE__)) return;
      }
    }
  }
}

TEST(extract_random_loaded_store_with_wide_keys) {
  // A loaded state may hold keys above 255. No text byte equals them, and
  // nodes under them never match in either mode: the search must neither
  // replace nor skip through them.
  std::mt19937_64 rng(11);
  for (int p = 0; p < 60; ++p) {
    fernquill::Trie trie;
    for (int k = 0; k < 8; ++k) {
      fernquill::NodeId node = fernquill::Trie::kRoot;
      std::size_t len = 1 + rng() % 5;
      for (std::size_t d = 0; d < len; ++d) {
        std::uint32_t key = rng() % 4 == 0 ? 256 + static_cast<std::uint32_t>(rng() % 3)
                                           : static_cast<std::uint32_t>("ab "[rng() % 3]);
        node = trie.child_or_insert(node, key);
      }
      trie.set_clean_name(node, random_string(rng, {"a", "b", "xy"}, 6));
    }
    KeywordProcessor kp(true, p % 2 == 1);
    fernquill::WordSet words;
    words.set_defaults();
    kp.replace_state(words, std::move(trie), true, p % 2 == 1);
    for (int q = 0; q < 20; ++q) {
      std::string text = random_string(rng, {"a", "b", " "}, 30);
      for (float t : {1.0f, 0.9f, 0.75f, 0.6f, 0.5f}) {
        if (!agrees_with_oracle(kp, text, t, __LINE__)) return;
      }
    }
  }
}

TEST(extract_random_long_keywords_low_threshold) {
  // Long keywords over three letters at low thresholds: many edit paths
  // meet in the same states and the searches grow large, which is where
  // repeated states are skipped.
  std::mt19937_64 rng(13);
  for (int p = 0; p < 12; ++p) {
    KeywordProcessor kp(true, p % 3 == 0);
    for (int k = 0; k < 30; ++k) {
      std::string kw;
      for (std::size_t len = 12 + rng() % 14; kw.size() < len;) kw += "abc"[rng() % 3];
      kp.add_keyword(kw, std::nullopt);
    }
    for (int q = 0; q < 4; ++q) {
      std::string text;
      for (int k = 0; k < 30; ++k) text += k % 13 == 12 ? ' ' : "abc"[rng() % 3];
      for (float t : {0.55f, 0.6f, 0.7f}) {
        if (!agrees_with_oracle(kp, text, t, __LINE__)) return;
      }
    }
  }
}

TEST(extract_random_long_texts_exact) {
  // Texts of several scan chunks (4 KiB each), with keywords long enough to
  // run across a chunk boundary and matches that resume past one.
  std::mt19937_64 rng(17);
  for (int p = 0; p < 16; ++p) {
    KeywordProcessor kp(p % 2 == 0, p % 4 == 1);
    if (p % 3 == 0) kp.add_word_char(' ');
    const std::vector<std::string> pieces = {"a", "b", " ", "A"};
    for (int k = 0; k < 40; ++k) kp.add_keyword(random_string(rng, pieces, 6), std::nullopt);
    std::vector<std::string> long_keywords;
    for (int k = 0; k < 5; ++k) {
      std::string kw;
      for (std::size_t len = 30 + rng() % 4000; kw.size() < len;) kw += "ab "[rng() % 3];
      kp.add_keyword(kw, std::nullopt);
      long_keywords.push_back(kw);
    }
    std::string text;
    for (int k = 0; k < 12; ++k) {
      text += random_string(rng, pieces, 3000);
      if (rng() % 2) text += " " + long_keywords[rng() % long_keywords.size()] + " ";
    }
    auto got = fernquill::extract_keywords(kp, text, std::nullopt);
    auto want = oracle::extract(kp, text, std::nullopt);
    CHECK(oracle::same(got, want));
    // Unless the space is a word byte, the text holds matches far apart.
    if (p % 3 != 0) CHECK(want.size() > 100 && want.back().start > 4 * 4096);
  }
}

TEST(extract_concurrent_callers_agree) {
  // Once the scan index is compiled, extraction only reads the processor.
  std::mt19937_64 rng(5);
  KeywordProcessor kp(false, false);
  for (int k = 0; k < 200; ++k)
    kp.add_keyword(random_string(rng, {"a", "b", "c", " "}, 6), std::nullopt);
  std::vector<std::string> texts;
  for (int q = 0; q < 40; ++q) texts.push_back(random_string(rng, {"a", "B", "c", " ", ","}, 300));
  const float thresholds[] = {1.0f, 0.8f, 0.6f};
  std::vector<std::vector<KeywordMatch>> want;
  for (const auto& text : texts) {
    for (float t : thresholds) want.push_back(oracle::extract(kp, text, t));
  }
  kp.scan_index();
  std::vector<int> bad(4, 0);
  std::vector<std::thread> threads;
  for (int w = 0; w < 4; ++w) {
    threads.emplace_back([&, w] {
      for (int round = 0; round < 3; ++round) {
        std::size_t k = 0;
        for (const auto& text : texts) {
          for (float t : thresholds)
            bad[w] += !oracle::same(fernquill::extract_keywords(kp, text, t), want[k++]);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int w = 0; w < 4; ++w) CHECK_EQ(bad[w], 0);
}

}  // namespace
