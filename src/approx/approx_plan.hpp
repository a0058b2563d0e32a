// Threshold-dependent structures of the approximate search: a filter that
// proves, for most start positions, that the edit search cannot find a
// candidate there, so the search is skipped.
//
// Budget. A keyword node w at depth |w| with a clean name of ℓ bytes is a
// candidate only through a state (w, c, e) with 1 - e / max(c, ℓ) >= t in
// float. Every byte consumed on the way either meets a keyword byte or
// skips a text byte for one edit, so c <= |w| + e and the similarity is at
// most 1 - e / max(|w| + e, ℓ) (float division and subtraction round
// monotonically). That bound falls as e grows, since e / max(|w| + e, ℓ)
// grows and all values are exact in float below 2^24; so e <= k(w), the
// largest e at which the bound still meets t.
//
// Pieces. A keyword with k(w) >= 1 is cut into k + 1 pieces. The search
// path of a state is an alignment of the consumed text with w whose edits
// (replaced or skipped keyword bytes, skipped text bytes) number e. Charge
// each edit to the piece holding the keyword byte it replaces or skips, or,
// for a skipped text byte, the next keyword byte (the last piece after the
// end). With e <= k, let j be the last piece charged nothing: the k - j
// pieces after it hold at least k - j edits, so at most j edits lie before
// it. Piece j was then consumed intact, at keyword offset a_j shifted by the
// text skips minus the keyword skips before it: it occurs in the text at
// i + a_j + s with |s| <= j. So a start i can hold a candidate of w only if
// some piece j of w occurs at a text position q with
// i in [q - a_j - j, q - a_j + j].
//
// Finding the pieces. Piece 0 (j = 0, s = 0) starts the keyword at i: it
// occurs there exactly when the exact walk from i, which the scan makes
// anyway, passes the trie node that spells it; first pieces are looked up
// by that node, not in the text. The other pieces are found by a scan of
// their prints (a few bytes of each) over the text. The last piece (j = k)
// ends the alignment: nothing after it is charged, so no byte is consumed
// after it and the candidate ends right after the piece, where the end
// test must pass; an occurrence where it fails is dropped at once.
//
// Verification. Each such start is then checked against w alone: a state
// (w, c, e) reached by the search has e >= ED(w, text[i, i + c)), its
// similarity is at most the one of that distance (it falls as e grows), and
// a candidate with e <= k stays within k of the diagonal, where a banded
// edit-distance table is exact. If no c gives a similarity that meets t
// together with a passing end test, no candidate of w can be recorded at i:
// whichever candidate the search would pick there, nothing is recorded.
// A hit on the last piece at q needs only the alignments whose last
// uncharged piece it is, found there: they align w[0, a_k) with
// text[i, q) and consume c = q - i + piece length, so ED(w[0, a_k),
// text[i, q)) decides them (verify_last). Every other alignment is checked
// through the hit of its own last uncharged piece.
//
// Keywords with k(w) = 0 need no piece: only the exact path reaches them,
// and the scan walks it before deciding to search (see approx_search.cpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "approx/plan_prints.hpp"
#include "text/utf8.hpp"

namespace fernquill {

class ApproxIndex;

// Where an approximate candidate that consumed the text up to `stop` ends:
// a trailing trim byte is left out.
inline std::size_t candidate_end(const std::uint8_t* s, std::size_t stop) {
  return utf8::is_trim(s[stop - 1]) ? stop - 1 : stop;
}

// The end test of a candidate ending at `end`: it passes at the end of the
// text, where overlaps are allowed, or where one of the three bytes from
// the end is no word byte.
inline bool end_test_passes(const std::uint8_t* s, std::size_t n, std::size_t end,
                            const std::array<std::uint8_t, 256>& word, bool overlaps) {
  if (end == n || overlaps) return true;
  for (std::size_t k = end; k < end + 3 && k < n; ++k) {
    if (!word[s[k]]) return true;
  }
  return false;
}

class ApproxPlan;

// The search's structures for threshold t, from the index's plan cache
// (plan_cache.hpp): null until the approximate scans with this index have
// covered enough text. `text` (may be empty), the text about to be
// scanned, steers the plan's cut points when it is built. Safe to call from
// any number of threads.
std::shared_ptr<const ApproxPlan> plan_for(const ApproxIndex& index, float t,
                                           std::size_t text_bytes, std::string_view text = {});

class ApproxPlan {
 public:
  // `sample`: text like the one to be scanned (may be empty); it only
  // steers where keywords are cut, never what the filter lets through.
  ApproxPlan(const ApproxIndex& index, float threshold, std::string_view sample = {});

  // False when the filter cannot pay (budgets too large for pieces, or
  // pieces too frequent) or cannot be proven here: every start is searched.
  bool filtering() const { return filtering_; }

  // A start i - lo at which piece `entry` occurs as described above.
  struct Hit {
    std::uint32_t start;
    std::uint32_t entry;
    std::uint32_t offset;  // where the piece was found, from the start
  };

  // Appends a Hit for every start i in [lo, hi) that passes the scan's start
  // test and at which some piece occurs as described above, while `hits`
  // holds fewer than `cap`; past that, sets bit (i - lo) of `forced` instead
  // (such a start is searched unverified, which is always sound). `forced`
  // holds (hi - lo + 63) / 64 words, cleared by the caller. s[0, n) is the
  // scan text. Verifying later, and only at the starts the scan asks about,
  // spares the starts that the exact walk decides or a match skips.
  void find_hits(const std::uint8_t* s, std::size_t n, std::size_t lo, std::size_t hi,
                 std::vector<Hit>& hits, std::size_t cap, std::uint64_t* forced) const;

  // Whether the keyword of the hit's piece can have a recorded candidate at
  // start i (the verification above).
  bool verify(const Hit& hit, const std::uint8_t* s, std::size_t n, std::size_t i) const {
    const Entry& e = entries_[hit.entry];
    return e.piece == e.budget ? verify_last(e, s, n, i, hit.offset) : verify(e, s, n, i);
  }

  // First pieces are not looked up in the text: w[0, a_1) occurs at i
  // exactly when the exact walk from i passes the trie node that spells it.
  // `last` is the double-array slot where that walk from i stopped; the
  // walk passed a first piece's node only if this returns true.
  bool first_piece_below(std::uint32_t last) const {
    return (first_path_[last >> 6] >> (last & 63)) & 1;
  }
  // Whether some keyword whose first piece lies on the exact path from i,
  // which ends at slot `last`, can have a recorded candidate at i.
  bool verify_first_pieces(const std::uint8_t* s, std::size_t n, std::size_t i,
                           std::uint32_t last) const;

  // Bytes held by the plan.
  std::size_t memory_bytes() const;

  static constexpr std::uint32_t kMaxBudget = plan_detail::kMaxBudget;
  static constexpr std::uint32_t kPrint = plan_detail::kPrint;

 private:
  // One piece of a keyword, as the verification needs it.
  struct Entry {
    std::uint32_t keyword;  // offset of the keyword's bytes in keywords_
    std::uint32_t name_len;
    std::uint16_t keyword_len;
    std::uint16_t piece_at;  // a_j
    std::uint16_t piece_len;
    std::uint8_t piece;   // j
    std::uint8_t budget;  // k(w)
  };
  // The same piece as seen from its fingerprint at text position p, all
  // the print scan reads: the piece starts at p - print_at and, when it is
  // there, starts from p - back to p - back + 2j may hold a candidate of
  // its keyword. Its print is its min(kPrint, piece_len) bytes at print_at;
  // its first (up to) kHead bytes are kept here, so that most pieces are
  // compared without a look at the keyword.
  struct ScanEntry {
    std::uint64_t head;
    std::uint16_t print_at;
    std::uint16_t piece_len;
    std::uint16_t back;
    std::uint8_t width;  // 2j + 1
    std::uint8_t last;   // 1 for the keyword's last piece (j = k)
  };
  // The band of an edit-distance table, by diagonal.
  using Band = std::array<std::int64_t, 2 * kMaxBudget + 2>;

  struct PlannedFirst {
    std::uint32_t slot;
    Entry entry;
    std::uint32_t second_len;  // bytes of piece 1, at most 3
  };
  // The steps of build: the pieces of every keyword with their prints, then
  // the table of prints, then the first pieces by their trie slots.
  bool build(const ApproxIndex& index, float threshold, std::string_view sample);
  struct Planned;  // a piece on its way into the table of prints
  template <class Keywords, class Model>
  bool plan_pieces(const Keywords& keywords, const Model& placing, const Model& rarity,
                   std::vector<Planned>& planned, std::vector<PlannedFirst>& firsts);
  bool index_prints(std::vector<Planned>& planned);
  void index_first_pieces(const ApproxIndex& index, std::vector<PlannedFirst>& firsts);
  void release();
  bool verify(const Entry& e, const std::uint8_t* s, std::size_t n, std::size_t i) const;
  bool verify_last(const Entry& e, const std::uint8_t* s, std::size_t n, std::size_t i,
                   std::size_t offset) const;
  bool end_passes(const std::uint8_t* s, std::size_t n, std::size_t stop) const {
    return end_test_passes(s, n, candidate_end(s, stop), word_, overlaps_);
  }
  // The print scan of find_hits for prints of L bytes, in named steps:
  // the positions of a stretch whose print has a nonempty run, whether a
  // run's piece occurs there whole, and the starts it stands for.
  template <std::uint32_t L>
  void scan_prints(const std::uint8_t* s, std::size_t n, std::size_t lo, std::size_t hi,
                   std::vector<Hit>& hits, std::size_t cap, std::uint64_t* forced) const;
  // Positions looked up per stretch, and how far ahead runs are fetched.
  static constexpr std::size_t kStretch = 256;
  static constexpr std::size_t kAhead = 8;
  struct PrintRun {
    std::uint32_t offset;  // of the position in its stretch
    std::uint32_t begin;   // its run: scans_[begin, end)
    std::uint32_t end;
  };
  template <std::uint32_t L>
  [[gnu::always_inline]] inline std::size_t runs_in_stretch(const std::uint8_t* s, std::size_t base,
                                                            std::size_t stop,
                                                            PrintRun* found) const;
  template <std::uint32_t L>
  // Whether the piece of scans_[k] = e occurs whole where its print is at p.
  [[gnu::always_inline]] inline bool piece_occurs(const ScanEntry& e, std::uint32_t k,
                                                  const std::uint8_t* s, std::size_t n,
                                                  std::size_t p) const;
  // Adds the starts that a piece found as above stands for.
  [[gnu::always_inline]] inline void add_starts(const ScanEntry& e, std::uint32_t k,
                                                const std::uint8_t* s, std::size_t n, std::size_t p,
                                                std::size_t lo, std::size_t hi,
                                                std::vector<Hit>& hits, std::size_t cap,
                                                std::uint64_t* forced) const;
  [[gnu::always_inline]] static inline bool lead_agrees(std::uint32_t lead, const std::uint8_t* s,
                                                        std::size_t i, std::size_t offset,
                                                        std::size_t piece_at);

  float t_;
  bool overlaps_ = false;
  // head_masks_[l]: the bits of a loaded head that hold its first l bytes.
  std::array<std::uint64_t, 9> head_masks_{};
  std::array<std::uint8_t, 256> word_{};
  bool filtering_ = false;
  std::uint32_t lengths_ = 0;  // bit L set when some print has L bytes
  std::uint32_t max_back_ = 0;
  std::uint32_t max_budget_ = 0;
  // Entries sorted by the hash of their print: those of hash h are
  // entries_[first_[h], first_[h + 1]). An empty run is the common miss.
  std::uint32_t hash_bits_ = 0;
  std::vector<std::uint32_t> first_;
  std::vector<ScanEntry> scans_;
  std::vector<Entry> entries_;  // entries_[k] is the piece of scans_[k]
  // Per scan entry, the keyword's first two bytes (first in the low byte)
  // for the last piece of a keyword with k = 1, else kAnyLead.
  static constexpr std::uint32_t kAnyLead = 1u << 16;
  std::vector<std::uint32_t> leads_;
  std::string keywords_;  // followed by kHead zero bytes, for whole-word loads
  // First pieces by the double-array slot of their trie node: bit s of
  // first_end_ is set when some first piece ends at slot s, bit s of
  // first_path_ when one ends at s or above it. The entries of the pieces
  // ending at the r-th slot of first_end_ (r its rank: the bits set before
  // it) are first_entries_[first_runs_[r], first_runs_[r + 1]).
  struct Ranked {
    std::uint64_t bits = 0;
    std::uint32_t rank = 0;  // bits set in the words before this one
  };
  bool ends_first_piece(std::uint32_t slot) const {
    return (first_end_[slot >> 6].bits >> (slot & 63)) & 1;
  }
  const std::uint64_t* slots_ = nullptr;  // the exact index's double array
  std::vector<Ranked> first_end_;
  std::vector<std::uint64_t> first_path_;
  std::vector<std::uint32_t> first_runs_;
  // Per first entry, the keyword's two or three bytes after the piece
  // (first in the low byte) and their count in the top byte, 0 where they
  // decide nothing (verify_first_pieces).
  std::vector<std::uint32_t> first_next_;
  std::vector<Entry> first_entries_;
};

}  // namespace fernquill
