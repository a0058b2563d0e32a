// The exact scan's two walks, and matches handed over in pieces, against the
// literal reference: random stores of every size class and texts that span
// many chunks and give far more matches than one piece holds.
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "check.hpp"
#include "exact/scan_index.hpp"
#include "keyword_processor/extract.hpp"
#include "literal_search.hpp"
#include "random_text.hpp"
#include "state/processor_state.hpp"
#include "text/lowercase.hpp"
#include "whole_word_search.hpp"

using fernquill::ExactWalk;
using fernquill::KeywordMatch;
using fernquill::KeywordProcessor;
using fernquill::MatchSink;

namespace {

// A processor of `count` random keywords over few letters (dense matches),
// some with clean names, and a one-letter keyword so that matches come
// every few bytes.
void fill(KeywordProcessor& kp, std::mt19937_64& rng, std::size_t count) {
  const std::string letters = "abcd";
  while (kp.count_keywords() < count) {
    const std::string k = random_text(rng, letters, 1 + rng() % 9);
    if (rng() % 3 == 0) {
      kp.add_keyword(k, "N" + k);
    } else {
      kp.add_keyword(k, std::nullopt);
    }
  }
  kp.add_keyword("a", std::nullopt);
}

std::vector<KeywordMatch> collect_pieces(const KeywordProcessor& kp, const std::string& text,
                                         float threshold, std::size_t& pieces,
                                         const fernquill::ScanOptions& options = {}) {
  struct Collected {
    std::vector<KeywordMatch> all;
    std::size_t pieces = 0;
  } got;
  const MatchSink sink{[](void* context, std::span<const KeywordMatch> piece) {
                         auto* c = static_cast<Collected*>(context);
                         if (piece.empty()) throw std::logic_error("an empty piece");
                         c->all.insert(c->all.end(), piece.begin(), piece.end());
                         ++c->pieces;
                       },
                       &got};
  fernquill::extract_keywords_to(kp, text, threshold, sink, options);
  pieces = got.pieces;
  return got.all;
}

const std::string kTextAlphabet = "abcdAB  ,\xC3\xA9";

// A text of `len` characters, valid UTF-8 (the scans with options read
// whole characters), over the letters of kTextAlphabet and two accented ones.
std::string random_utf8_text(std::mt19937_64& rng, std::size_t len) {
  static const char* const kPieces[] = {"a", "b", "c", "d",        "A",
                                        "B", " ", ",", "\xC3\xA9", "\xC3\x89"};
  std::string s;
  for (std::size_t k = 0; k < len; ++k) s += kPieces[rng() % std::size(kPieces)];
  return s;
}

}  // namespace

TEST(both_exact_walks_match_literal_search_at_every_store_size) {
  std::mt19937_64 rng(5);
  for (std::size_t count : {5u, 300u, 3000u}) {
    for (int options = 0; options < 4; ++options) {
      KeywordProcessor kp(options % 2 == 1, options >= 2);
      fill(kp, rng, count);
      const fernquill::ScanIndex& index = kp.scan_index();
      for (int t = 0; t < 5; ++t) {
        const std::string text = random_text(rng, kTextAlphabet, 1 + rng() % 12000);
        const std::string scanned = kp.case_sensitive() ? text : fernquill::lower_utf8(text);
        const auto want = oracle::extract(kp, text, 1.0f);
        for (ExactWalk how : {ExactWalk::kEach, ExactWalk::kRounds, ExactWalk::kChosen}) {
          std::vector<KeywordMatch> got;
          fernquill::scan_exact(index, scanned, false, got, how);
          CHECK(oracle::same(got, want));
        }
      }
    }
  }
}

TEST(matches_handed_over_in_pieces_make_the_whole_result) {
  // With every scan option: the whole-word scans hand their matches over as
  // the default scan does, and replacement built from the pieces is the
  // replacement built from the list.
  std::mt19937_64 rng(8);
  const fernquill::ScanOptions every_options[] = {{}, {true, false}, {false, true}, {true, true}};
  for (int round = 0; round < 12; ++round) {
    KeywordProcessor kp(round % 2 == 1, round % 3 == 0);
    fill(kp, rng, 20 + rng() % 200);
    kp.scan_index();
    const std::size_t len = round == 0 ? 0 : 1 + rng() % 40000;
    const std::string text = random_utf8_text(rng, len);
    for (const fernquill::ScanOptions& options : every_options) {
      for (float threshold : {1.0f, 0.8f}) {
        if (threshold < 1.0f && len > 3000) continue;  // the approximate search is slower
        std::size_t pieces = 0;
        const auto got = collect_pieces(kp, text, threshold, pieces, options);
        const auto want = oracle::extract_with(kp, text, threshold, options);
        CHECK(oracle::same(got, want));
        // Many matches come in several pieces, none in none.
        CHECK(want.empty() ? pieces == 0 : pieces >= 1);
        if (threshold == 1.0f && want.size() > 2000) CHECK(pieces > 1);
        std::string replaced;
        fernquill::append_replacing(kp, text, threshold, replaced, options);
        CHECK(replaced == fernquill::replace_keywords(kp, text, threshold, options));
      }
    }
  }
}

TEST(a_failing_sink_stops_the_scan_and_leaves_later_scans_whole) {
  std::mt19937_64 rng(3);
  KeywordProcessor kp(false, false);
  fill(kp, rng, 100);
  kp.scan_index();
  const std::string text = random_text(rng, kTextAlphabet, 30000);
  const auto want = oracle::extract(kp, text, 1.0f);
  CHECK(want.size() > 2000);
  struct Count {
    std::size_t pieces = 0;
    std::size_t matches = 0;
  } count;
  const MatchSink failing{[](void* context, std::span<const KeywordMatch> piece) {
                            auto* c = static_cast<Count*>(context);
                            c->matches += piece.size();
                            if (++c->pieces == 2) throw std::runtime_error("sink failed");
                          },
                          &count};
  bool thrown = false;
  try {
    fernquill::extract_keywords_to(kp, text, 1.0f, failing);
  } catch (const std::runtime_error&) {
    thrown = true;
  }
  CHECK(thrown);
  CHECK_EQ(count.pieces, 2u);
  CHECK(count.matches < want.size());
  std::size_t pieces = 0;
  CHECK(oracle::same(collect_pieces(kp, text, 1.0f, pieces), want));
  CHECK(oracle::same(fernquill::extract_keywords(kp, text, 1.0f), want));
}

TEST(a_sink_that_scans_again_gets_its_own_results) {
  // The sink runs between chunks, so a scan started from it (as a Python
  // callback could) must neither disturb the outer scan nor be disturbed.
  std::mt19937_64 rng(4);
  KeywordProcessor kp(false, false);
  fill(kp, rng, 60);
  kp.scan_index();
  const std::string outer = random_text(rng, kTextAlphabet, 25000);
  const std::string inner = random_text(rng, kTextAlphabet, 9000);
  struct Nested {
    const KeywordProcessor* kp;
    const std::string* inner;
    std::vector<KeywordMatch> all;
    bool inner_ok = true;
  } nested{&kp, &inner, {}, true};
  const auto inner_want = oracle::extract(kp, inner, 1.0f);
  const MatchSink sink{[](void* context, std::span<const KeywordMatch> piece) {
                         auto* n = static_cast<Nested*>(context);
                         n->all.insert(n->all.end(), piece.begin(), piece.end());
                         const auto again = fernquill::extract_keywords(*n->kp, *n->inner, 1.0f);
                         n->inner_ok = n->inner_ok && again.size() > 0;
                       },
                       &nested};
  fernquill::extract_keywords_to(kp, outer, 1.0f, sink);
  CHECK(nested.inner_ok);
  CHECK(oracle::same(nested.all, oracle::extract(kp, outer, 1.0f)));
  CHECK(oracle::same(fernquill::extract_keywords(kp, inner, 1.0f), inner_want));
}

TEST(a_loaded_store_holds_no_spare_room) {
  // Read back from its state, a store is sized once from the state: its node
  // arena holds exactly its nodes, and it never takes more memory than the
  // same store built keyword by keyword.
  std::mt19937_64 rng(6);
  for (std::size_t count : {0u, 1u, 50u, 5000u}) {
    KeywordProcessor built(false, false);
    if (count > 0) fill(built, rng, count);
    const std::string state = fernquill::encode_processor_state(built);
    const auto loaded = fernquill::decode_processor_state(state);
    CHECK(loaded->trie.check_invariants().empty());
    CHECK_EQ(loaded->trie.node_slots(), loaded->trie.node_count());
    CHECK_EQ(loaded->trie.node_count(), built.trie().node_count());
    CHECK(loaded->trie.memory_bytes() <= built.trie().memory_bytes());
    CHECK(fernquill::encode_processor_state(*loaded) == state);
  }
}
