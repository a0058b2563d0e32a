// The approximate search over dense tries at low thresholds: many long
// keywords over two letters, every position a start, so that edit paths meet
// in the same states over and over. The search must stay within a bound
// polynomial in text length x trie nodes x edit budget, and agree with the
// literal search.
#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "approx/approx_search.hpp"
#include "check.hpp"
#include "every_engine.hpp"
#include "exact/scan_index.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"

namespace {

using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;

std::string binary_word(std::mt19937_64& rng, std::size_t size) {
  std::string s;
  for (std::size_t k = 0; k < size; ++k) s += static_cast<char>('a' + rng() % 2);
  return s;
}

// A processor without word characters holding `count` keywords of `size`
// bytes over {a, b}.
std::unique_ptr<KeywordProcessor> dense_processor(std::mt19937_64& rng, std::size_t count,
                                                  std::size_t size) {
  auto kp = std::make_unique<KeywordProcessor>(true, false);
  kp->set_word_chars({});
  for (std::size_t k = 0; k < count; ++k) kp->add_keyword(binary_word(rng, size), std::nullopt);
  return kp;
}

// States the search may take off the stack over a whole text, summed over
// its starts: from start i it meets at most nodes x (R + 1) pairs (node,
// consumed) with R = n - i bytes left, each with one of at most E + 2 edit
// counts, E = (1 - t) x (R + 1) the budget of the deepest expandable state.
std::uint64_t polynomial_bound(std::uint64_t nodes, std::size_t n, float t) {
  std::uint64_t bound = 0;
  for (std::size_t r = 1; r <= n; ++r) {
    const auto budget = static_cast<std::uint64_t>((1.0 - t) * static_cast<double>(r + 1));
    bound += nodes * (r + 1) * (budget + 2);
  }
  return bound;
}

std::uint64_t trie_nodes(const KeywordProcessor& kp) { return kp.trie().node_count(); }

TEST(approx_dense_binary_keywords_stay_within_the_polynomial_bound) {
  // 100 keywords of 60 bytes, 40 bytes of text, t = 0.3: a search whose
  // table of seen states gives up when full takes minutes here.
  std::mt19937_64 rng(2021);
  for (const std::size_t count : {100u, 200u}) {
    const auto kp = dense_processor(rng, count, 60);
    const std::string text = binary_word(rng, 40);
    for (const float t : {0.3f, 0.2f}) {
      fernquill::ApproxStats stats;
      std::vector<KeywordMatch> got;
      fernquill::scan_approximate_counted(kp->approx_index(), text, t, got, stats);
      CHECK(stats.searched > 0);
      CHECK(stats.states <= polynomial_bound(trie_nodes(*kp), text.size(), t));
    }
  }
}

TEST(approx_dense_binary_keywords_match_the_literal_search) {
  // The same shape, small enough for the literal search: enough keywords
  // and text for a search to record the states it expanded.
  std::mt19937_64 rng(4040);
  std::size_t cases = 0, matched = 0;
  for (int round = 0; round < 60; ++round) {
    const auto kp = dense_processor(rng, 6 + rng() % 20, 8 + rng() % 7);
    const std::string text = binary_word(rng, 6 + rng() % 6);
    for (const float t : {0.2f, 0.3f, 0.45f, 0.6f}) {
      every_engine::Counts counts;
      CHECK(every_engine::check(*kp, text, t, counts));
      ++cases;
      matched += counts.matches == 0 ? 0 : 1;
    }
  }
  CHECK_EQ(cases, 240u);
  CHECK(matched > 120);
}

TEST(approx_dense_binary_keywords_keep_every_seen_pair_in_rows) {
  // Small limits send each search from the table to the rows at once, or
  // past the rows: the literal search's results either way, and with rows
  // the very states the table alone takes, since neither forgets a pair.
  std::mt19937_64 rng(2026);
  std::uint64_t dense = 0;
  for (int round = 0; round < 30; ++round) {
    const auto kp = dense_processor(rng, 6 + rng() % 20, 8 + rng() % 7);
    const std::string text = binary_word(rng, 6 + rng() % 6);
    for (const float t : {0.2f, 0.3f, 0.45f}) {
      const auto want = oracle::extract(*kp, text, t);
      const auto& index = kp->approx_index();
      fernquill::ApproxStats table, rows, none;
      std::vector<KeywordMatch> got;
      fernquill::scan_approximate_switched(index, text, t, got, table, {true, false});
      CHECK(oracle::same(got, want));
      for (const auto& [stats, budget] :
           {std::pair{&rows, std::size_t{1} << 20}, std::pair{&none, std::size_t{0}}}) {
        got.clear();
        fernquill::scan_approximate_switched(index, text, t, got, *stats,
                                             {true, false, {2, budget}});
        CHECK(oracle::same(got, want));
      }
      CHECK_EQ(rows.states, table.states);
      CHECK(none.states >= rows.states);
      CHECK_EQ(table.dense, 0u);
      dense += rows.dense;
    }
  }
  CHECK(dense > 30);
}

TEST(approx_dense_binary_keywords_longer_than_the_text_reaches_cost_no_cliff) {
  // Keywords that no search from 40 bytes of text can reach at t = 0.3
  // (a search goes at most about 1.7 bytes down the trie per byte) must
  // cost no more than shorter ones that it can; searching them in full,
  // with no candidate ever to prune by, took 10 to 50 times the states.
  std::mt19937_64 rng(1747);
  std::uint64_t reachable = 0;
  for (const std::size_t size : {50u, 60u, 70u, 80u, 120u}) {
    const auto kp = dense_processor(rng, 300, size);
    const std::string text = binary_word(rng, 40);
    fernquill::ApproxStats stats;
    std::vector<KeywordMatch> got;
    fernquill::scan_approximate_counted(kp->approx_index(), text, 0.3f, got, stats);
    if (size <= 60) {
      reachable = std::max(reachable, stats.states);
      CHECK(!got.empty());  // these texts hold a match: the comparison means something
    } else {
      CHECK(stats.states <= 2 * reachable);
      CHECK(got.empty());
    }
  }
}

TEST(approx_dense_binary_keywords_past_two_million_pairs_stay_within_the_bound) {
  // A trie of 240,000 nodes: one search meets more (node, consumed) pairs
  // than the table holds, and goes on in rows without forgetting any. The
  // text is long enough for the keywords' ends to stay within reach.
  std::mt19937_64 rng(77);
  const auto kp = dense_processor(rng, 5000, 60);
  const std::string text = binary_word(rng, 50);
  fernquill::ApproxStats stats;
  std::vector<KeywordMatch> got;
  fernquill::scan_approximate_counted(kp->approx_index(), text, 0.3f, got, stats);
  CHECK(stats.dense > 0);
  CHECK(stats.states <= polynomial_bound(trie_nodes(*kp), text.size(), 0.3f));
  CHECK_EQ(got.size(), 1u);
}

}  // namespace
