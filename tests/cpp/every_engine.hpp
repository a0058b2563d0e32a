// One case through every engine: the literal search (reference/) decides,
// and the public extraction, the store walk and the compiled exact scan
// (threshold 1), or the approximate scan with its piece filter and memos
// each on and off (thresholds below 1), must all give its matches.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "approx/approx_search.hpp"
#include "check.hpp"
#include "exact/scan_index.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"
#include "text/lowercase.hpp"

namespace every_engine {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;

// What the approximate engines did over the cases checked, so that a table
// can require that the shortcuts fired.
struct Counts {
  std::uint64_t cases = 0;
  std::uint64_t matches = 0;
  fernquill::ApproxStats approx;  // with every shortcut on
};

inline std::string describe(const std::vector<KeywordMatch>& ms) {
  std::string out;
  for (const auto& m : ms) {
    out += "('" + std::string(m.keyword) + "', " + std::to_string(m.similarity) + ", " +
           std::to_string(m.start) + ", " + std::to_string(m.end) + ") ";
  }
  return out;
}

// Checks `got` against `want`; returns false (and reports `engine`) when
// they differ.
inline bool agrees(const char* engine, const std::vector<KeywordMatch>& got,
                   const std::vector<KeywordMatch>& want, std::string_view text, float t) {
  if (oracle::same(got, want)) return true;
  check::fail(__FILE__, __LINE__,
              std::string(engine) + " on '" + std::string(text) + "' t=" + std::to_string(t) +
                  "\n got  " + describe(got) + "\n want " + describe(want));
  return false;
}

// Whether check() may compile the exact index (which the approximate
// structures are built on), or must leave it as the processor's history left
// it and run the engines that need it only once it is there: the lifecycle
// tests watch when the public call compiles.
enum class Index { kBuild, kAsIs };

// Runs the case through every engine; returns false at the first that
// disagrees with the literal search.
// The public call is given `threshold` as it is (none stands for 1).
inline bool check(const KeywordProcessor& kp, std::string_view text, std::optional<float> threshold,
                  Counts& counts, Index index = Index::kBuild) {
  const float t = threshold.value_or(1.0f);
  const auto want = oracle::extract(kp, text, t);
  ++counts.cases;
  counts.matches += want.size();
  if (!agrees("extract_keywords", fernquill::extract_keywords(kp, text, threshold), want, text,
              t)) {
    return false;
  }
  const std::string scan_text =
      kp.case_sensitive() ? std::string(text) : fernquill::lower_utf8(text);
  std::vector<KeywordMatch> got;
  if (t == 1.0f) {
    fernquill::scan_exact_store(kp.trie(), kp.word_set(), kp.allow_overlaps(), scan_text, false,
                                got);
    if (!agrees("store walk", got, want, text, t)) return false;
    if (index == Index::kAsIs && !kp.exact_index_ready()) return true;
    got.clear();
    fernquill::scan_exact(kp.scan_index(), scan_text, false, got);
    return agrees("compiled scan", got, want, text, t);
  }
  if (index == Index::kAsIs && !kp.exact_index_ready()) return true;
  for (const bool filter : {true, false}) {
    for (const bool memos : {true, false}) {
      fernquill::ApproxStats stats;
      got.clear();
      fernquill::scan_approximate_switched(kp.approx_index(), scan_text, t, got, stats,
                                           {filter, memos});
      const std::string engine = std::string("approximate scan, filter ") +
                                 (filter ? "on" : "off") + ", memos " + (memos ? "on" : "off");
      if (!agrees(engine.c_str(), got, want, text, t)) return false;
      if (filter && memos) {
        counts.approx.filtered += stats.filtered;
        counts.approx.recalled += stats.recalled;
        counts.approx.resumed += stats.resumed;
        counts.approx.ended += stats.ended;
        counts.approx.searched += stats.searched;
      } else {
        // A shortcut switched off must not run.
        if (!filter) CHECK_EQ(stats.filtered, 0u);
        if (!memos) CHECK_EQ(stats.recalled + stats.resumed, 0u);
      }
    }
  }
  return true;
}

// The same with counts nobody reads.
inline bool check(const KeywordProcessor& kp, std::string_view text, std::optional<float> threshold,
                  Index index = Index::kBuild) {
  Counts counts;
  return check(kp, text, threshold, counts, index);
}

}  // namespace every_engine
