// The pruned depth-first edit search from one start of an approximate scan:
// its state rules, pruning rules (a) to (c) and (f) to (h) of approx_search.cpp
// and the frontier, each proven beside the code that relies on it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "approx/approx_index.hpp"
#include "approx/fewest_edits.hpp"
#include "approx/frontier_memo.hpp"
#include "approx/threshold_table.hpp"
#include "exact/scan_index.hpp"

namespace fernquill {

// A search state: a trie node, the text bytes consumed from the start and
// the edits made so far.
struct State {
  std::uint32_t node;
  std::uint64_t consumed;
  std::int64_t edits;
};

// The best state of a search, if any: its similarity, node and consumed count.
struct Candidate {
  bool found = false;
  float similarity = 0.0f;
  std::string_view name;
  std::uint64_t consumed = 0;
  std::uint32_t name_id = ApproxIndex::kNoName;  // set by the edit search
  std::int64_t edits = 0;                        // the edits of its state
};

// The pruned depth-first edit search from one position, with its working
// storage kept across the positions of a call.
// The search's small steps are compiled into the loops that take them (as
// they were when the search lived in one file): a call per state would
// cost more than most of the steps themselves.
class EditSearch {
 public:
  using SearchNode = ApproxIndex::SearchNode;

  // `frontiers`: whether searches begin at remembered frontiers.
  EditSearch(const ApproxIndex& index, const std::uint8_t* s, std::size_t n, float t,
             bool frontiers = true, SeenLimits seen_limits = {})
      : index_(index),
        nodes_(index.nodes().data()),
        search_nodes_(index.search_nodes()),
        nearest_(index.nearest_names()),
        farthest_nearest_(index.farthest_nearest()),
        da_(index.slots()),
        slot_nodes_(index.slot_nodes().data()),
        s_(s),
        n_(n),
        table_(t),
        seen_(index.nodes().size(), seen_limits),
        horizon_(frontiers ? frontier_horizon(table_) : kNoHorizon),
        frontiers_(n) {}

  Candidate run(std::size_t i);
  std::uint64_t popped() const { return popped_; }
  std::uint64_t resumed() const { return resumed_; }
  // Positions whose seen pairs went on in dense rows.
  std::uint64_t dense() const { return dense_; }
  // Positions where beyond_reach left states out.
  std::uint64_t ended() const { return ended_runs_; }
  // Bytes of text the last run read: it read offsets below this only. A
  // run whose result depended on where the text ends reports all of it.
  std::uint64_t window() const { return ended_ ? remaining_ : window_; }

 private:
  // The least denominator at which a similarity with e edits reaches t and
  // beats the best so far: with it, "worth it" is one integer comparison,
  // and the best does not change while a state is expanded or a chain
  // walked, so each of them asks once.
  [[gnu::always_inline]] std::uint64_t need(std::int64_t e) {
    if (e >= kTable) {
      return std::max(least_d_at_least(e, table_.t()), least_d_above(e, best_.similarity));
    }
    if (need_stamp_[e] != stamp_) {
      need_[e] = best_.found ? std::max(table_.need_t(e), least_d_above(e, best_.similarity))
                             : table_.need_start(e);
      need_stamp_[e] = stamp_;
    }
    return need_[e];
  }
  // The least c + 1 at which a state with e edits may branch into edit
  // states: 1 - e / (c + 1) >= t.
  [[gnu::always_inline]] std::uint64_t edit_need(std::int64_t e) {
    return e < kTable ? table_.need_t(e) : least_d_at_least(e, table_.t());
  }
  // (c) Bound for a state (k, c, e) with e >= 1. Each byte consumed below
  // it either moves one level down the trie or skips a text byte at the
  // cost of an edit, so a candidate reached from it has e' >= e edits,
  // c' <= c + height(k) + (e' - e) consumed bytes and a clean name of at
  // most max_name(k) bytes. Hence e'/max(c', len) >= e / D with
  // D = max(c + height, max_name, e) (for e' > e the ratio only grows),
  // and since float division and subtraction round monotonically its
  // similarity is at most 1 - e / D computed the same way. If that misses
  // t, nothing below is accepted; if it is not above the best, nothing
  // below is strictly greater, now or later (the best only grows). Either
  // way the state and its subtree cannot change the result.
  [[gnu::always_inline]] static std::uint64_t bound(const SearchNode& node, std::uint64_t c,
                                                    std::int64_t e) {
    if (node.flags & SearchNode::kUnboundedBelow) {
      return ~std::uint64_t{0};
    }
    std::uint64_t d = std::max<std::uint64_t>(c + node.height, node.max_name);
    return std::max<std::uint64_t>(d, static_cast<std::uint64_t>(e));
  }
  // (h) Reach, near the end of the text. Every edit is made from a state
  // (k, c, x) that is expanded, so c < R (R the bytes left from the start)
  // and c + 1 >= edit_need(x), hence x <= X with X the largest count whose
  // edit_need is at most R (edit_need never falls as x grows). A path from
  // (k, c, e) therefore makes at most max(0, X + 1 - e) edits, and goes
  // down the trie by at most one edge per byte it consumes (R - c at most)
  // plus one per keyword byte it skips, each an edit. A candidate is a
  // named node, so when the nearest named node below k lies farther than
  // that, nothing below the state can be a candidate and leaving its
  // subtree out changes no result. Along every move the reach left,
  // R - c + max(0, X + 1 - e) - nearest(k), never grows (a consumed byte
  // or an edit costs one, a child's nearest is at most one less), so a
  // state beyond reach has only descendants beyond it: rule (b) stays
  // sound with them unrecorded, as for (c). The test reads R, which the
  // window of bytes read does not tell, so a search in which it cut
  // anything is marked ended and its results kept in no memo; a search
  // where it cut nothing is the search without it.
  [[gnu::always_inline]] inline bool beyond_reach(const State& st);
  // X + 1 above for this start; computed when first asked.
  std::uint64_t reach_edits();
  // The similarity of (node, c, e) when it is a candidate better than the
  // best so far, else 0.
  [[gnu::always_inline]] inline float takes(const State& st) const;
  // Takes (node, c, e) as a candidate when it is better than the best.
  // Returns true when it scores 1.0.
  [[gnu::always_inline]] inline bool consider(const State& st);
  // Pushes the states that follow st; returns true and sets st when the
  // only one is the exact continuation, to be taken next without the stack.
  bool expand(State& st, std::size_t i);
  // Rule (b): whether st's node and consumed count were expanded with no
  // more edits at this start; records st when not.
  [[gnu::always_inline]] inline bool already_expanded(const State& st);
  // The edit states of st (a text byte x skipped, replaced by a child's
  // key, or a child's key skipped), for a st that allows an edit; children
  // are [begin, end).
  [[gnu::always_inline]] inline void push_edit_states(const State& st, const SearchNode& node,
                                                      std::uint32_t begin, std::uint32_t end,
                                                      std::uint8_t x, std::size_t i);
  // (g) Chains. A state that is no candidate (no clean name, nothing
  // consumed, or a similarity that misses t or does not beat the best so
  // far, which only grows until its turn) and allows no edit pushes, when
  // popped, at most its exact continuation, which is then popped at once
  // (the stack is LIFO). Such a state may therefore stand in for the first
  // state of its chain of exact continuations that is a candidate or allows
  // an edit: the states popped
  // and the order in which they are popped are the same but for the chain's
  // inner states, which record nothing. advance moves st there and returns
  // true, or returns false when the chain ends before (no child under the
  // next text byte, the end of the text, or a bound that fails the test
  // expand makes before pushing); then the whole chain records nothing and
  // leaving it out changes no result. Its tests may see a best no greater
  // than the search would at the chain's turn, which can only prune less.
  // States skipped this way are not recorded by (b), which is sound for
  // any subset of the expanded states.
  // The needs are edit_need and need of st's edit count.
  bool advance(State& st, std::size_t i, std::uint64_t edit_need_e, std::uint64_t need_e);
  // The frontier. Let H be the least consumed count at which a state with
  // one edit may branch again: 1 - 1 / (H + 1) >= t. Before it, every
  // state has at most one edit, so the search up to H is the same small
  // search for every text that begins alike. Split the search from i at H:
  // it pops states with c < H, and frontier states with c = H, each of
  // which has its whole subtree searched before the next state is popped
  // (the stack is LIFO and every move below raises c + e). When no state
  // before H is a candidate, the states before H record nothing, so the
  // search records exactly what searching the frontier states' subtrees in
  // the order the search meets them records, with the best carried over.
  // That order, and the frontier itself, depend on the bytes read before H
  // only: the best is none until the first frontier state, and a later
  // best only prunes states whose subtrees cannot beat it, whether or not
  // they are searched. So the frontier is kept by that window, as a
  // search's result is (see search_or_recall), and the search from a start
  // whose text begins with a known window goes straight to its frontier.
  static std::uint64_t frontier_horizon(ThresholdTable& table);
  // Puts the search's first states on the stack: its frontier, recalled or
  // explored, or else the start state's expansion.
  void start(std::size_t i);
  // Searches from i up to the horizon, keeping the frontier states in the
  // order popped; returns false when a state before it is a candidate (or
  // is not as argued above), and the frontier is then of no use.
  bool explore_to_horizon(std::size_t i);
  // Takes the next state into st: st itself when `have` (expand handed it
  // over without a trip through the stack), else the top of the stack.
  // Returns false when there is none.
  [[gnu::always_inline]] bool pop(State& st, bool& have) {
    if (!have) {
      if (stack_.empty()) return false;
      st = stack_.back();
      stack_.pop_back();
    }
    have = false;
    ++popped_;
    return true;
  }
  // The text byte c past the start i, noted in the window.
  [[gnu::always_inline]] std::uint8_t read(std::size_t i, std::uint64_t c) {
    window_ = std::max(window_, c + 1);
    return s_[i + c];
  }
  // Pushes st, first walked down its chain (g) unless it allows an edit,
  // which ends its chain where it is. The needs are those of st's edits.
  [[gnu::always_inline]] void push(State st, std::size_t i, bool allows_edits,
                                   std::uint64_t edit_need_e, std::uint64_t need_e) {
    if (allows_edits || advance(st, i, edit_need_e, need_e)) stack_.push_back(st);
  }
  // The child of node k under byte x, or `end` when it has none.
  [[gnu::always_inline]] inline std::uint32_t child_under(std::uint32_t k, const SearchNode& node,
                                                          std::uint32_t begin, std::uint32_t end,
                                                          std::uint8_t x) const;

  // Recording seen states costs a hash probe per expanded state. It pays
  // where many edit paths meet in the same state, which makes the search
  // blow up; a search that stays small (nearly always at high thresholds)
  // has few repeats and would only pay for the probes. So recording starts
  // once a position has taken kSeenAfter states, and covers states with at
  // least two edits (one edit rarely meets another path).
  static constexpr std::uint64_t kSeenAfter = 512;
  // States between cancellation points: tens of microseconds.
  static constexpr std::uint64_t kStatesPerPoll = 1024;
  static constexpr std::int64_t kSeenFromEdits = 2;

  // Few children are found faster by their keys than through the double
  // array, whose lookup is two dependent loads and the node a third.
  static constexpr std::uint32_t kScannedChildren = 16;

  const ApproxIndex& index_;
  const ApproxIndex::Node* nodes_;
  const SearchNode* search_nodes_;
  const std::uint8_t* nearest_;
  std::uint64_t farthest_nearest_;
  static constexpr std::uint64_t kUnknownReach = ~std::uint64_t{0};
  std::uint64_t reach_edits_ = kUnknownReach;
  bool ended_ = false;  // beyond_reach cut a state at this start
  std::uint64_t ended_runs_ = 0;
  const ScanIndex::Slot* da_;
  const std::uint32_t* slot_nodes_;
  const std::uint8_t* s_;
  std::size_t n_;
  ThresholdTable table_;
  FewestEdits seen_;
  std::vector<State> stack_;
  std::uint64_t popped_ = 0;
  std::uint64_t resumed_ = 0;
  std::uint64_t dense_ = 0;
  std::uint64_t seen_from_ = 0;
  bool seen_open_ = false;
  std::uint64_t remaining_ = 0;
  std::uint64_t window_ = 0;
  // Frontiers are searched for when the horizon is short enough for texts
  // to begin alike often; kNoHorizon otherwise.
  static constexpr std::uint64_t kMaxHorizon = 16;
  static constexpr std::uint64_t kNoHorizon = ~std::uint64_t{0};
  std::uint64_t horizon_;
  std::uint64_t limit_ = kNoHorizon;  // the horizon while exploring up to it
  FrontierMemo frontiers_;
  std::vector<std::uint32_t> frontier_;  // the one being explored, in order
  Candidate best_;
  // need_[e]: the least denominator for both t and the current best,
  // recomputed on demand after each change of the best (a new stamp).
  std::uint64_t need_[kTable] = {};
  std::uint64_t need_stamp_[kTable] = {};
  std::uint64_t stamp_ = 0;
};

}  // namespace fernquill
