// Approximate matching: the depth-first edit search from every position
// allowed by the start test, with exact pruning.
//
// The search visits states (node, consumed c, edits e) from a LIFO stack in a
// fixed order and keeps the first state of strictly greatest similarity
// s = 1 - e / max(c, clean-name length) that reaches the threshold. Pruning
// must therefore leave every update of the best candidate in place. These
// rules do, each proven where it is applied (edit_search.cpp for (a) to (c),
// (f) to (h), this file and approx_plan.hpp for (d) and (e)):
//  (a) stop once the best similarity is 1.0;
//  (b) skip the expansion of a state whose node and consumed count were
//      expanded before at this position with no more edits;
//  (c) drop a state whose whole subtree is bounded below the threshold or
//      at or below the best similarity so far;
//  (f) leave dead ends, states that would do nothing when popped, unpushed;
//  (g) push a chain of exact continuations as its first state that does
//      something, or not at all when it has none.
//  (h) leave out a state from which no named node is within reach of the
//      text left (beyond_reach).
// Two more decide a position without searching at all:
//  (d) the shallowest keyword on the exact path is the result (exact_first);
//  (e) the piece filter of approx_plan.hpp proves that no candidate exists.
// And a search, or its part up to the horizon, that read the same window of
// text before is not repeated: its result is recalled (search_or_recall,
// start).
#include "approx/approx_search.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <optional>
#include <string_view>
#include <vector>

#include "approx/approx_index.hpp"
#include "approx/approx_plan.hpp"
#include "approx/approx_score.hpp"
#include "approx/edit_search.hpp"
#include "approx/search_memo.hpp"
#include "exact/scan_index.hpp"
#include "support/interrupt.hpp"
#include "text/utf8.hpp"

namespace fernquill {
namespace {

using utf8::is_trim;

using SearchNode = ApproxIndex::SearchNode;

// A search's result as the memo keeps it, in 8 bytes: its similarity is
// computed again from its edits, consumed count and clean name, as the
// search computed it (approx_score.hpp), which gives the same float.
struct Recalled {
  std::uint32_t name_id;  // kNoName when the search found no candidate
  std::uint16_t consumed;
  std::uint16_t edits;
};
constexpr std::uint64_t kMaxRecalled = 0xFFFF;

// Where an exact walk from a start ended: the text from the start spells the
// path to that slot's node.
struct ExactEnd {
  std::uint32_t slot = ScanIndex::kRootSlot;
  std::size_t depth = 0;
};

// (d) The shallowest keyword met on the exact path from i, as a candidate.
// Proof that it is the search's result: only states with e = 0 lie on the
// exact path, and they are popped in order of depth (each pushes the next
// one first, below its edit states), so the shallowest keyword there with
// c >= 1 is the first e = 0 candidate popped. It scores 1 - 0 / d = 1.0,
// which rule (a) keeps. A state with e >= 1 scores 1 - e / d with
// d = max(c, len) and c <= height + e; 1 - e / d rounds to 1.0 only for
// e / d <= 2^-25, which needs d >= 2^25, so no such state ties it while
// the deepest keyword and longest clean name stay below kExactnessLimit.
// Strictly greater is impossible. When no keyword lies on the exact path,
// no state with e = 0 is a candidate; then `walked` is where the walk ended.
Candidate shallowest_exact(const ApproxIndex& index, const std::uint8_t* s, std::size_t n,
                           std::size_t i, ExactEnd& walked) {
  const ScanIndex::Slot* da = index.slots();
  std::uint32_t at = ScanIndex::kRootSlot;
  std::size_t k = i;
  for (; k < n; ++k) {
    const std::uint32_t next = ScanIndex::base_of(da[at]) + s[k];
    if (ScanIndex::check_of(da[next]) != at) break;
    at = next;
    if (da[at] & ScanIndex::kKeywordBit) return {true, 1.0f, index.slot_name(at), k + 1 - i};
  }
  walked = {at, k - i};
  return {};
}

// The piece filter's answers, a block of starts at a time: the hits of a
// block are found in one scan of its prints and grouped by start (a
// counting sort), and a start's hits are verified only when the scan asks
// about it, that is after the exact walk left it undecided.
class StartMarks {
 public:
  StartMarks(const ApproxPlan& plan, const std::uint8_t* s, std::size_t n)
      : plan_(plan),
        s_(s),
        n_(n),
        block_(std::min(n, kBlock)),
        forced_((block_ + 63) / 64),
        first_(block_ + 1) {}
  // `last`: the slot where the exact walk from i stopped.
  bool may_hold(std::size_t i, std::uint32_t last) {
    if (plan_.first_piece_below(last) && plan_.verify_first_pieces(s_, n_, i, last)) return true;
    if (i >= hi_ || i < lo_) fill(i);
    const std::size_t at = i - lo_;
    if ((forced_[at >> 6] >> (at & 63)) & 1) return true;
    for (std::uint32_t k = first_[at]; k < first_[at + 1]; ++k) {
      if (plan_.verify(sorted_[k], s_, n_, i)) return true;
    }
    return false;
  }

 private:
  static constexpr std::size_t kBlock = std::size_t{1} << 16;
  // Hits kept per block; a start past that is searched unverified. Bounds
  // the memory where a piece occurs at nearly every byte.
  static constexpr std::size_t kMaxHitsPerStart = 4;
  void fill(std::size_t lo) {
    lo_ = lo;
    hi_ = std::min(n_, lo + block_);
    std::fill(forced_.begin(), forced_.end(), 0);
    hits_.clear();
    plan_.find_hits(s_, n_, lo_, hi_, hits_, block_ * kMaxHitsPerStart, forced_.data());
    std::fill(first_.begin(), first_.end(), 0);
    for (const ApproxPlan::Hit& h : hits_) ++first_[h.start + 1];
    for (std::size_t k = 1; k < first_.size(); ++k) first_[k] += first_[k - 1];
    sorted_.resize(hits_.size());
    for (const ApproxPlan::Hit& h : hits_) sorted_[first_[h.start]++] = h;
    // The scatter moved each start's first to the next one's: shift back.
    for (std::size_t k = first_.size() - 1; k > 0; --k) first_[k] = first_[k - 1];
    first_[0] = 0;
  }
  const ApproxPlan& plan_;
  const std::uint8_t* s_;
  std::size_t n_;
  std::size_t block_;
  std::size_t lo_ = 0, hi_ = 0;
  std::vector<std::uint64_t> forced_;
  std::vector<ApproxPlan::Hit> hits_;
  std::vector<std::uint32_t> first_;  // the hits of start lo + a: sorted_[first_[a], first_[a + 1])
  std::vector<ApproxPlan::Hit> sorted_;  // the hits grouped by start
};

// End trimming, end test and recording of a candidate at i; returns the
// position to resume from, or i + 1 when the end test fails.
std::size_t end_test_and_record(const ApproxIndex& index, const std::uint8_t* s, std::size_t n,
                                std::size_t i, const Candidate& found,
                                std::vector<KeywordMatch>& out) {
  const std::size_t stop = i + found.consumed;
  const std::size_t end = candidate_end(s, stop);
  if (!end_test_passes(s, n, end, index.plain().word, index.allow_overlaps())) return i + 1;
  const float rounded = std::round(found.similarity * 100.0f) / 100.0f;
  out.push_back({found.name, rounded, is_trim(s[i]) ? i + 1 : i, end});
  return stop;
}

// The positions that pass the start test, 64 at a time as a bit mask, so
// that the scan steps from start to start without a branch per byte.
class Starts {
 public:
  Starts(const std::uint8_t* s, std::size_t n, const std::array<std::uint8_t, 256>& word,
         bool overlaps)
      : s_(s), n_(n), word_(word), overlaps_(overlaps) {}
  // The first start at or after i, or n when there is none.
  std::size_t next(std::size_t i) {
    while (i < n_) {
      const std::size_t at = i >> 6;
      if (at != loaded_) load(at);
      const std::uint64_t m = mask_ & (~std::uint64_t{0} << (i & 63));
      if (m != 0) return (at << 6) + static_cast<std::size_t>(std::countr_zero(m));
      i = (at + 1) << 6;
    }
    return n_;
  }

 private:
  void load(std::size_t at) {
    loaded_ = at;
    const std::size_t base = at << 6, end = std::min(n_, base + 64);
    std::uint64_t m = 0;
    for (std::size_t p = base; p < end; ++p) {
      const bool start = p == 0 || overlaps_ || !word_[s_[p - 1]];
      m |= static_cast<std::uint64_t>(start) << (p - base);
    }
    mask_ = m;
  }
  const std::uint8_t* s_;
  std::size_t n_;
  const std::array<std::uint8_t, 256>& word_;
  bool overlaps_;
  std::size_t loaded_ = ~std::size_t{0};
  std::uint64_t mask_ = 0;
};

// Asks for the double-array slot that the exact walk from i reaches in its
// second step, which most walks miss in the cache; the first step stays
// among the root's children, which are cached.
void prefetch_walk(const ScanIndex::Slot* da, const std::uint8_t* s, std::size_t n, std::size_t i) {
  if (i + 1 >= n) return;
  const std::uint32_t first = ScanIndex::base_of(da[ScanIndex::kRootSlot]) + s[i];
  if (ScanIndex::check_of(da[first]) != ScanIndex::kRootSlot) return;
#if defined(__GNUC__)
  __builtin_prefetch(&da[ScanIndex::base_of(da[first]) + s[i + 1]]);
#endif
}

// The search's result at i, recalled from the memo when the text there
// begins with a window searched before. Sound: the search at i depends on
// the index, t and the text bytes it reads, and on the end of the text
// only through tests of consumed counts against n - i. Every consumed count
// it tests was reached by reading the byte before it, so it is at most the
// window. Where the window is shorter than n - i at both starts, all those
// tests come out alike, and so does the result. The memo keys a window by
// the node where the exact walk ended and the bytes from there on: the
// bytes before are that node's path. The search reads past them, since it
// expands every state of the exact path (none is a candidate scoring 1.0,
// or the walk would have found it).
Candidate search_or_recall(const ApproxIndex& index, EditSearch& search, SearchMemo<Recalled>& memo,
                           const ExactEnd& walked, const std::uint8_t* s, std::size_t n,
                           std::size_t i, std::uint64_t& searched, std::uint64_t& recalled) {
  const std::uint8_t* tail = s + i + walked.depth;
  const std::size_t remaining = n - i;
  if (const Recalled* known = memo.find(walked.slot, tail, remaining - walked.depth)) {
    ++recalled;
    if (known->name_id == ApproxIndex::kNoName) return {};
    const std::string_view name = index.name(known->name_id);
    const float v = similarity(known->edits, std::max<std::uint64_t>(known->consumed, name.size()));
    return {true, v, name, known->consumed, known->name_id, known->edits};
  }
  ++searched;
  const Candidate found = search.run(i);
  // A result is kept with 16-bit counts; a larger one is searched again.
  if (search.window() > walked.depth && search.window() < remaining &&
      found.consumed <= kMaxRecalled && static_cast<std::uint64_t>(found.edits) <= kMaxRecalled) {
    memo.insert(walked.slot, tail, search.window() - walked.depth,
                {found.name_id, static_cast<std::uint16_t>(found.consumed),
                 static_cast<std::uint16_t>(found.edits)});
  }
  return found;
}

// Starts between cancellation points: a start that is not searched costs
// tens of nanoseconds, one that is is polled inside the search.
constexpr std::uint64_t kStartsPerPoll = 64;

void scan(const ApproxIndex& index, std::string_view text, float t, std::vector<KeywordMatch>& out,
          ApproxStats* stats, const ApproxSwitches& switches) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const auto& word = index.plain().word;
  const bool overlaps = index.allow_overlaps();
  const ApproxIndex::Node& root = index.nodes()[0];
  const bool exact_first = within_exactness_limit(root.height, root.max_name);
  const std::shared_ptr<const ApproxPlan> plan = plan_for(index, t, n, text);
  // (e) needs (d): keywords without an edit budget have no pieces.
  const bool filter = switches.filter && exact_first && plan && plan->filtering();
  std::optional<StartMarks> marks;
  if (filter) marks.emplace(*plan, s, n);
  EditSearch search(index, s, n, t, switches.memos, switches.seen);
  // A memo without a budget keeps nothing.
  SearchMemo<Recalled> memo(switches.memos ? memo_budget(n, kSearchShare) : 0);
  std::uint64_t starts = 0, filtered = 0, searched = 0, recalled = 0;

  Starts next_start(s, n, word, overlaps);
  for (std::size_t i = next_start.next(0); i < n;) {
    const std::size_t after = next_start.next(i + 1);
    if (exact_first) prefetch_walk(index.slots(), s, n, after);
    if ((++starts & (kStartsPerPoll - 1)) == 0) interruption_point();
    Candidate found;
    ExactEnd walked;
    if (exact_first) found = shallowest_exact(index, s, n, i, walked);
    if (!found.found) {
      if (filter && !marks->may_hold(i, walked.slot)) {
        ++filtered;
        i = after;
        continue;
      }
      found = search_or_recall(index, search, memo, walked, s, n, i, searched, recalled);
    }
    i = found.found ? next_start.next(end_test_and_record(index, s, n, i, found, out)) : after;
  }
  if (stats) {
    stats->states += search.popped();
    stats->starts += starts;
    stats->filtered += filtered;
    stats->searched += searched;
    stats->recalled += recalled;
    stats->resumed += search.resumed();
    stats->dense += search.dense();
    stats->ended += search.ended();
  }
}

}  // namespace

void scan_approximate(const ApproxIndex& index, std::string_view text, float threshold,
                      std::vector<KeywordMatch>& out) {
  scan(index, text, threshold, out, nullptr, ApproxSwitches{});
}

void scan_approximate_counted(const ApproxIndex& index, std::string_view text, float threshold,
                              std::vector<KeywordMatch>& out, ApproxStats& stats) {
  scan(index, text, threshold, out, &stats, ApproxSwitches{});
}

void scan_approximate_switched(const ApproxIndex& index, std::string_view text, float threshold,
                               std::vector<KeywordMatch>& out, ApproxStats& stats,
                               const ApproxSwitches& switches) {
  scan(index, text, threshold, out, &stats, switches);
}

}  // namespace fernquill
