// Approximate matching: the depth-first edit search from every position
// allowed by the start test, with exact pruning.
//
// The search visits states (node, consumed c, edits e) from a LIFO stack in a
// fixed order and keeps the first state of strictly greatest similarity
// s = 1 - e / max(c, clean-name length) that reaches the threshold. Pruning
// must therefore leave every update of the best candidate in place. These
// rules do, each proven where it is applied below:
//  (a) stop once the best similarity is 1.0;
//  (b) skip the expansion of a state whose node and consumed count were
//      expanded before at this position with no more edits;
//  (c) drop a state whose whole subtree is bounded below the threshold or
//      at or below the best similarity so far;
//  (f) leave dead ends, states that would do nothing when popped, unpushed;
//  (g) push a chain of exact continuations as its first state that does
//      something, or not at all when it has none.
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
#include "approx/search_memo.hpp"
#include "exact/scan_index.hpp"
#include "text/utf8.hpp"

namespace fernquill {
namespace {

using utf8::is_trim;

using SearchNode = ApproxIndex::SearchNode;

struct State {
  std::uint32_t node;
  std::uint64_t consumed;
  std::int64_t edits;
};

// 1 - e / d in 32-bit float, each operation rounded to float.
inline float similarity(std::int64_t e, std::uint64_t d) {
  return 1.0f - static_cast<float>(e) / static_cast<float>(d);
}

// std::popcount without a popcount instruction in the baseline target is a
// library call; this is a few register operations.
inline std::uint32_t bits_set(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
}

// The fewest edits with which each (node, consumed) pair was expanded at the
// current position: rule (b) keys states by the pair, not the triple, which
// both prunes more and keeps one entry where a triple would keep one per
// edit count. Open addressing; a generation stamp empties the table for the
// next position without touching it. At its size limit the table forgets a
// pair to make room for a new one, which only gives up some skipping.
class FewestEdits {
 public:
  // Returns false when (node, c) was expanded with at most e edits before
  // at this position; else records e as its fewest.
  bool improves(std::uint32_t node, std::uint64_t c, std::int64_t e) {
    if (c > 0xFFFFFFFFu || static_cast<std::uint64_t>(e) > 0xFFFFFFFFu) return true;
    const std::uint64_t key = node | (c << 32);
    const auto edits = static_cast<std::uint32_t>(e);
    if (slots_.empty()) resize(kFirstSlots);
    const std::size_t mask = slots_.size() - 1;
    const std::size_t home = hash(key) & mask;
    for (std::size_t h = home;; h = (h + 1) & mask) {
      Entry& slot = slots_[h];
      if (slot.generation != generation_) {
        if ((live_ + 1) * 2 <= slots_.size()) {
          slot = Entry{key, edits, generation_};
          ++live_;
        } else if (slots_.size() < kMaxSlots) {
          resize(slots_.size() * 2);
          return improves(node, c, e);
        } else {
          // Overwriting a live slot keeps every probe sequence intact.
          slots_[home] = Entry{key, edits, generation_};
        }
        return true;
      }
      if (slot.key == key) {
        if (slot.edits <= edits) return false;
        slot.edits = edits;
        return true;
      }
    }
  }
  void next_position() {
    live_ = 0;
    if (++generation_ == 0) {  // stamps wrapped: really clear once
      for (Entry& slot : slots_) slot.generation = 0;
      generation_ = 1;
    }
  }

 private:
  struct Entry {
    std::uint64_t key = 0;  // node | consumed << 32
    std::uint32_t edits = 0;
    std::uint32_t generation = 0;
  };
  static constexpr std::size_t kFirstSlots = 1024;
  // 64 MiB: two million pairs at half load.
  static constexpr std::size_t kMaxSlots = std::size_t{1} << 22;
  static std::size_t hash(std::uint64_t key) {
    std::uint64_t h = (key ^ (key >> 33)) * 0xFF51AFD7ED558CCDull;
    return static_cast<std::size_t>(h ^ (h >> 33));
  }
  void resize(std::size_t size) {
    std::vector<Entry> old;
    old.swap(slots_);
    slots_.assign(size, Entry{});
    live_ = 0;
    for (const Entry& slot : old) {
      if (slot.generation != generation_) continue;
      for (std::size_t h = hash(slot.key) & (size - 1);; h = (h + 1) & (size - 1)) {
        if (slots_[h].generation != generation_) {
          slots_[h] = slot;
          ++live_;
          break;
        }
      }
    }
  }
  std::vector<Entry> slots_;
  std::size_t live_ = 0;
  std::uint32_t generation_ = 1;
};

// Smallest d >= 1 with ok(d), for a predicate that is false below some d
// and true from there on. `guess` is an estimate of the answer.
template <class Ok>
std::uint64_t smallest_d(std::uint64_t guess, Ok ok) {
  guess = std::max<std::uint64_t>(guess, 1);
  if (ok(guess) && (guess == 1 || !ok(guess - 1))) return guess;
  std::uint64_t lo = 0, hi = guess;  // ok(hi) holds, ok(lo) does not (0 stands below 1)
  if (!ok(guess)) {
    lo = guess;
    hi = guess * 2;
    while (!ok(hi)) {
      lo = hi;
      hi *= 2;
    }
  }
  while (hi - lo > 1) {
    const std::uint64_t mid = lo + (hi - lo) / 2;
    if (ok(mid)) {
      hi = mid;
    } else {
      lo = mid;
    }
  }
  return hi;
}

// The least denominator d at which 1 - e / d (in float) meets a limit, per
// edit count e below kTable. Since the float operations round
// monotonically, 1 - e / d never falls as d grows, so "similarity with
// denominator D meets the limit" becomes the integer test D >= table[e].
// Used for the threshold (fixed per call) and for the best similarity
// (recomputed on demand after it changes).
constexpr std::int64_t kTable = 64;

std::uint64_t least_d_at_least(std::int64_t e, float limit) {
  const double guess = static_cast<double>(e) / (1.0 - static_cast<double>(limit));
  return smallest_d(static_cast<std::uint64_t>(std::min(guess, 1e15)),
                    [&](std::uint64_t d) { return similarity(e, d) >= limit; });
}

std::uint64_t least_d_above(std::int64_t e, float limit) {
  const double guess = static_cast<double>(e) / (1.0 - static_cast<double>(limit));
  return smallest_d(static_cast<std::uint64_t>(std::min(guess, 1e15)) + 1,
                    [&](std::uint64_t d) { return similarity(e, d) > limit; });
}

// The least denominators of rule (c), per edit count: need_t(e) is the least
// d at which e edits still reach t; need_start(e) the least at which they
// also give more than 0 (the best at the start of each position). Filled on
// first use: the same for every position of a call.
class ThresholdTable {
 public:
  explicit ThresholdTable(float t) : t_(t) {}
  float t() const { return t_; }
  std::uint64_t need_t(std::int64_t e) {
    prepare(e);
    return need_t_[e];
  }
  std::uint64_t need_start(std::int64_t e) {
    prepare(e);
    return need_start_[e];
  }

 private:
  void prepare(std::int64_t e) {
    if (ready_[e]) return;
    need_t_[e] = least_d_at_least(e, t_);
    need_start_[e] = std::max(need_t_[e], least_d_above(e, 0.0f));
    ready_[e] = true;
  }
  float t_;
  std::uint64_t need_t_[kTable], need_start_[kTable];
  bool ready_[kTable] = {};
};

// The best state of a search, if any: its similarity, node and consumed count.
struct Candidate {
  bool found = false;
  float similarity = 0.0f;
  std::string_view name;
  std::uint64_t consumed = 0;
  std::uint32_t name_id = ApproxIndex::kNoName;  // set by the edit search
};

// A search's result as the memo keeps it.
struct Recalled {
  float similarity;
  std::uint32_t name_id;  // kNoName when the search found no candidate
  std::uint32_t consumed;
};

// Bytes a scan may spend on remembering searches: a few times its text,
// within limits, in twelfths: eight for the searches' results, two for the
// frontiers' windows and two for their states.
constexpr std::size_t kMemoBytesPerTextByte = 12;
constexpr std::size_t kMinMemoBytes = std::size_t{3} << 19;
constexpr std::size_t kMaxMemoBytes = std::size_t{1} << 26;
constexpr std::size_t kSearchShare = 8, kFrontierShare = 2, kFrontierStatesShare = 2, kShares = 12;
std::size_t memo_budget(std::size_t text_bytes, std::size_t share) {
  return std::clamp(text_bytes * kMemoBytesPerTextByte, kMinMemoBytes, kMaxMemoBytes) / kShares *
         share;
}

// The pruned depth-first edit search from one position, with its working
// storage kept across the positions of a call.
class EditSearch {
 public:
  EditSearch(const ApproxIndex& index, const std::uint8_t* s, std::size_t n, float t)
      : index_(index),
        nodes_(index.nodes().data()),
        search_nodes_(index.search_nodes()),
        da_(index.slots()),
        slot_nodes_(index.slot_nodes().data()),
        s_(s),
        n_(n),
        table_(t),
        horizon_(frontier_horizon(table_)),
        frontier_memo_(memo_budget(n, kFrontierShare)) {}

  Candidate run(std::size_t i);
  std::uint64_t popped() const { return popped_; }
  std::uint64_t resumed() const { return resumed_; }
  // Bytes of text the last run read: it read offsets below this only.
  std::uint64_t window() const { return window_; }

 private:
  // The least denominator at which a similarity with e edits reaches t and
  // beats the best so far: with it, "worth it" is one integer comparison,
  // and the best does not change while a state is expanded or a chain
  // walked, so each of them asks once.
  std::uint64_t need(std::int64_t e) {
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
  std::uint64_t edit_need(std::int64_t e) {
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
  static std::uint64_t bound(const SearchNode& node, std::uint64_t c, std::int64_t e) {
    if (node.flags & SearchNode::kUnboundedBelow) {
      return ~std::uint64_t{0};
    }
    std::uint64_t d = std::max<std::uint64_t>(c + node.height, node.max_name);
    return std::max<std::uint64_t>(d, static_cast<std::uint64_t>(e));
  }
  // The similarity of (node, c, e) when it is a candidate better than the
  // best so far, else 0.
  float takes(const State& st) const;
  // Takes (node, c, e) as a candidate when it is better than the best.
  // Returns true when it scores 1.0.
  bool consider(const State& st);
  // Pushes the states that follow st; returns true and sets st when the
  // only one is the exact continuation, to be taken next without the stack.
  bool expand(State& st, std::size_t i);
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
  bool pop(State& st, bool& have) {
    if (!have) {
      if (stack_.empty()) return false;
      st = stack_.back();
      stack_.pop_back();
    }
    have = false;
    ++popped_;
    return true;
  }
  void keep_frontier(std::size_t i, bool complete);
  // The text byte c past the start i, noted in the window.
  std::uint8_t read(std::size_t i, std::uint64_t c) {
    window_ = std::max(window_, c + 1);
    return s_[i + c];
  }
  // Pushes st, first walked down its chain (g) unless it allows an edit,
  // which ends its chain where it is. The needs are those of st's edits.
  void push(State st, std::size_t i, bool allows_edits, std::uint64_t edit_need_e,
            std::uint64_t need_e) {
    if (allows_edits || advance(st, i, edit_need_e, need_e)) stack_.push_back(st);
  }
  // The child of node k under byte x, or `end` when it has none.
  std::uint32_t child_under(std::uint32_t k, const SearchNode& node, std::uint32_t begin,
                            std::uint32_t end, std::uint8_t x) const;

  // Recording seen states costs a hash probe per expanded state. It pays
  // where many edit paths meet in the same state, which makes the search
  // blow up; a search that stays small (nearly always at high thresholds)
  // has few repeats and would only pay for the probes. So recording starts
  // once a position has taken kSeenAfter states, and covers states with at
  // least two edits (one edit rarely meets another path).
  static constexpr std::uint64_t kSeenAfter = 512;
  static constexpr std::int64_t kSeenFromEdits = 2;

  // Few children are found faster by their keys than through the double
  // array, whose lookup is two dependent loads and the node a third.
  static constexpr std::uint32_t kScannedChildren = 16;

  const ApproxIndex& index_;
  const ApproxIndex::Node* nodes_;
  const SearchNode* search_nodes_;
  const ScanIndex::Slot* da_;
  const std::uint32_t* slot_nodes_;
  const std::uint8_t* s_;
  std::size_t n_;
  ThresholdTable table_;
  FewestEdits seen_;
  std::vector<State> stack_;
  std::uint64_t popped_ = 0;
  std::uint64_t resumed_ = 0;
  std::uint64_t seen_from_ = 0;
  bool seen_open_ = false;
  std::uint64_t remaining_ = 0;
  std::uint64_t window_ = 0;
  // Frontiers are searched for when the horizon is short enough for texts
  // to begin alike often; kNoHorizon otherwise.
  static constexpr std::uint64_t kMaxHorizon = 16;
  static constexpr std::uint64_t kNoHorizon = ~std::uint64_t{0};
  struct Frontier {
    std::uint32_t first;  // in frontier_pool_
    std::uint32_t count;
    std::uint32_t window;
    bool complete;
  };
  static constexpr std::uint32_t kFrontierAnchor = 0;
  // A frontier state as kept: its node, with its one edit or none in the
  // top bit (its consumed count is the horizon).
  static constexpr std::uint32_t kEditedBit = std::uint32_t{1} << 31;
  std::uint64_t horizon_;
  std::uint64_t limit_ = kNoHorizon;  // the horizon while exploring up to it
  SearchMemo<Frontier> frontier_memo_;
  std::vector<std::uint32_t> frontier_pool_;  // the kept frontiers
  std::vector<std::uint32_t> frontier_;       // the one being explored, in order
  Candidate best_;
  // need_[e]: the least denominator for both t and the current best,
  // recomputed on demand after each change of the best (a new stamp).
  std::uint64_t need_[kTable] = {};
  std::uint64_t need_stamp_[kTable] = {};
  std::uint64_t stamp_ = 0;
};

float EditSearch::takes(const State& st) const {
  // A state that consumed no text is never a candidate: it would end
  // before its own start and resume where it began. Leaving it out here
  // lets the best state that did consume text win instead.
  if (!search_nodes_[st.node].has_name() || st.consumed == 0) return 0.0f;
  const ApproxIndex::Node& node = nodes_[st.node];
  const std::uint64_t len =
      node.name_len != ApproxIndex::kSaturated ? node.name_len : index_.name(node.name).size();
  const float v = similarity(st.edits, std::max<std::uint64_t>(st.consumed, len));
  return v >= table_.t() && v > best_.similarity ? v : 0.0f;
}

bool EditSearch::consider(const State& st) {
  const float v = takes(st);
  if (v == 0.0f) return false;
  const std::uint32_t name = nodes_[st.node].name;
  best_ = {true, v, index_.name(name), st.consumed, name};
  ++stamp_;
  return v == 1.0f;
}

bool EditSearch::expand(State& st, std::size_t i) {
  // (b) Let (node, c, e0) be expanded before (node, c, e) at this
  // position, with e0 <= e. The second is popped after the first one's
  // whole subtree: the stack is LIFO and it is not the first one's
  // descendant (every move goes deeper in the trie or raises c, so no
  // path returns to the same node and c). Every path the literal search
  // may take below (node, c, e) it may take below (node, c, e0) too: an
  // edit is allowed while 1 - e' / (c' + 1) >= t, which fewer edits only
  // help. The path ends at the same node and consumed count, so with the
  // same denominator, and e - e0 edits fewer, which rounds to a
  // similarity at least as high. So every candidate below the later state
  // was matched, no lower, by one compared before against a best no
  // greater than now: it can only tie or miss t. The same holds for the
  // parts of the first subtree pruned by (b) or (c), by induction on the
  // order of popping. Only expanded states are recorded, so recording
  // just some of them is as sound.
  // Bound: per start, the pairs (node, c) number at most nodes x (R + 1)
  // and each is expanded once per strictly smaller edit count, so at most
  // E + 1 times with E the largest budget 1 - e / (c + 1) >= t allows.
  if (popped_ > seen_from_ && st.edits >= kSeenFromEdits) {
    if (!seen_open_) {
      seen_.next_position();
      seen_open_ = true;
    }
    if (!seen_.improves(st.node, st.consumed, st.edits)) return false;
  }
  const SearchNode& node = search_nodes_[st.node];
  const std::uint8_t x = read(i, st.consumed);
  const std::uint32_t begin = node.child_begin(), end = search_nodes_[st.node + 1].child_begin();
  const std::uint32_t exact = child_under(st.node, node, begin, end, x);
  const std::uint64_t c1 = st.consumed + 1;
  const std::uint64_t need_e = need(st.edits);
  const bool push_exact =
      exact != end && (st.edits == 0 || (search_nodes_[exact].named_below() &&
                                         bound(search_nodes_[exact], c1, st.edits) >= need_e));
  // The edit states need 1 - e / (c + 1) >= t.
  const std::uint64_t edit_need_e = edit_need(st.edits);
  if (c1 < edit_need_e) {
    // The exact continuation is the only state pushed, so it is the next
    // one popped: take it directly.
    if (!push_exact) return false;
    st = {exact, c1, st.edits};
    return advance(st, i, edit_need_e, need_e);
  }
  // Here 1 - e / (c + 1) >= t, so 1 - e / (c + 2) >= t as well: the exact
  // continuation allows an edit too.
  if (push_exact) stack_.push_back({exact, c1, st.edits});
  const std::int64_t e1 = st.edits + 1;
  // Every edit state below has the bound of (node, c + 1, e + 1) or a
  // smaller one: a child's height is lower and its longest name no
  // longer. One test covers them all.
  const std::uint64_t need1 = need(e1);
  if (!node.named_below() || bound(node, c1, e1) < need1) return false;
  // (f) A dead end is a state that is no candidate (no clean name), allows
  // no edit (1 - e / (c + 1) < t) and has no child under its next text
  // byte (or no text left): popped, it records nothing and pushes nothing.
  // Leaving it off the stack changes no result. Only the states recorded by
  // (b) change, and any subset of the expanded states is sound there.
  const std::uint64_t edit_need1 = edit_need(e1);
  const bool edits_at_c1 = c1 + 1 >= edit_need1;
  const bool edits_at_c = c1 >= edit_need1;
  const bool text_at_c1 = c1 < remaining_;
  // Exploring up to the horizon, the byte at it is left unread (any child
  // may go on), so that the window stays within the horizon. Nothing else
  // there reads at or past it: states are deferred before they would, and
  // no chain crosses it, since an edited state's chain ends at the horizon,
  // where it may branch, and an unedited state always may. (Should a read
  // cross it, the kept window would only grow: the memo stays sound.)
  const std::uint64_t next_bit = !text_at_c1    ? 0
                                 : c1 >= limit_ ? ~std::uint64_t{0}
                                                : std::uint64_t{1} << (read(i, c1) & 63);
  const std::uint64_t this_bit = std::uint64_t{1} << (x & 63);
  auto live = [&](const SearchNode& k, bool edits, std::uint64_t bit) {
    return edits || k.has_name() || (k.child_bytes & bit) != 0;
  };
  if (live(node, edits_at_c1, next_bit)) push({st.node, c1, e1}, i, edits_at_c1, edit_need1, need1);
  for (std::uint32_t c = begin; c < end; ++c) {
    const SearchNode& child = search_nodes_[c];
    // The bound with c + 1 is at least the bound with c.
    if (!child.named_below() || bound(child, c1, e1) < need1) continue;
    if (child.key != x && live(child, edits_at_c1, next_bit)) {
      push({c, c1, e1}, i, edits_at_c1, edit_need1, need1);
    }
    if (live(child, edits_at_c, this_bit) && bound(child, st.consumed, e1) >= need1) {
      push({c, st.consumed, e1}, i, edits_at_c, edit_need1, need1);
    }
  }
  return false;
}

bool EditSearch::advance(State& st, std::size_t i, std::uint64_t edit_need_e,
                         std::uint64_t need_e) {
  for (;;) {
    const SearchNode& node = search_nodes_[st.node];
    if (st.consumed + 1 >= edit_need_e || (node.has_name() && takes(st) != 0.0f)) return true;
    if (st.consumed >= remaining_) return false;
    const std::uint32_t end = search_nodes_[st.node + 1].child_begin();
    const std::uint32_t exact =
        child_under(st.node, node, node.child_begin(), end, read(i, st.consumed));
    if (exact == end) return false;
    // The test expand makes before pushing an exact continuation; here
    // st.edits >= 1, since a state without edits allows one.
    const std::uint64_t c1 = st.consumed + 1;
    const SearchNode& next = search_nodes_[exact];
    if (!next.named_below() || bound(next, c1, st.edits) < need_e) return false;
    st = {exact, c1, st.edits};
  }
}

std::uint32_t EditSearch::child_under(std::uint32_t k, const SearchNode& node, std::uint32_t begin,
                                      std::uint32_t end, std::uint8_t x) const {
  // A clear bit in the child-byte mask proves there is none.
  const std::uint64_t bit = std::uint64_t{1} << (x & 63);
  if (!(node.child_bytes & bit)) return end;
  if (node.flags & SearchNode::kRanked) {
    // The one child whose key has these low bits, if its key is x.
    const std::uint32_t c = begin + bits_set(node.child_bytes & (bit - 1));
    return search_nodes_[c].key == x ? c : end;
  }
  if (end - begin <= kScannedChildren) {
    for (std::uint32_t c = begin; c < end; ++c) {
      if (search_nodes_[c].key == x) return c;
    }
    return end;
  }
  const std::uint32_t at = nodes_[k].slot;
  const std::uint32_t slot = ScanIndex::base_of(da_[at]) + x;
  return ScanIndex::check_of(da_[slot]) == at ? slot_nodes_[slot] : end;
}

std::uint64_t EditSearch::frontier_horizon(ThresholdTable& table) {
  const std::uint64_t h = table.need_t(1) - 1;
  return h >= 1 && h <= kMaxHorizon ? h : kNoHorizon;
}

bool EditSearch::explore_to_horizon(std::size_t i) {
  limit_ = horizon_;
  frontier_.clear();
  State st{0, 0, 0};
  bool have = expand(st, i);
  bool complete = true;
  while (pop(st, have)) {
    if (st.consumed >= horizon_) {
      // Only c = H with at most one edit can be pushed from before H; the
      // test keeps the packing below honest.
      if (st.consumed != horizon_ || st.edits > 1) {
        complete = false;
        break;
      }
      frontier_.push_back(st.node | (st.edits != 0 ? kEditedBit : 0));
      continue;
    }
    if (takes(st) != 0.0f) {
      complete = false;
      break;
    }
    have = expand(st, i);
  }
  limit_ = kNoHorizon;
  stack_.clear();
  return complete;
}

void EditSearch::keep_frontier(std::size_t i, bool complete) {
  const std::size_t count = complete ? frontier_.size() : 0;
  // The pool grows by hand so that its capacity, not just its size, stays
  // within the budget.
  const std::size_t limit = memo_budget(n_, kFrontierStatesShare) / sizeof(std::uint32_t);
  const std::size_t need = frontier_pool_.size() + count;
  if (need > limit) return;
  const Frontier kept{static_cast<std::uint32_t>(frontier_pool_.size()),
                      static_cast<std::uint32_t>(count), static_cast<std::uint32_t>(window_),
                      complete};
  try {
    if (need > frontier_pool_.capacity()) {
      frontier_pool_.reserve(std::min(limit, std::max(need, 2 * frontier_pool_.capacity())));
    }
    frontier_pool_.insert(frontier_pool_.end(), frontier_.begin(), frontier_.begin() + count);
  } catch (const std::bad_alloc&) {
    return;  // only a saving is lost
  }
  frontier_memo_.insert(kFrontierAnchor, s_ + i, window_, kept);
}

void EditSearch::start(std::size_t i) {
  State root{0, 0, 0};
  if (horizon_ >= remaining_) {
    expand(root, i);  // a state without edits allows one, so this only pushes
    return;
  }
  const std::uint32_t* first = nullptr;
  std::size_t count = 0;
  if (const Frontier* known = frontier_memo_.find(kFrontierAnchor, s_ + i, remaining_)) {
    window_ = known->window;
    if (!known->complete) {
      expand(root, i);
      return;
    }
    first = frontier_pool_.data() + known->first;
    count = known->count;
    ++resumed_;
  } else {
    const bool complete = explore_to_horizon(i);
    keep_frontier(i, complete);
    // States seen up to the horizon are not expanded again by this search.
    seen_from_ = popped_ + kSeenAfter;
    seen_open_ = false;
    if (!complete) {
      expand(root, i);
      return;
    }
    first = frontier_.data();
    count = frontier_.size();
  }
  // The first frontier state is popped first.
  for (std::size_t k = count; k-- > 0;) {
    stack_.push_back({first[k] & ~kEditedBit, horizon_, (first[k] & kEditedBit) != 0 ? 1 : 0});
  }
}

Candidate EditSearch::run(std::size_t i) {
  remaining_ = n_ - i;
  window_ = 0;
  best_ = Candidate{};
  ++stamp_;
  seen_from_ = popped_ + kSeenAfter;
  seen_open_ = false;
  stack_.clear();
  // The start state (root, 0, 0) is no candidate: it is expanded at once.
  ++popped_;
  start(i);
  State st{};
  bool have = false;
  while (pop(st, have)) {
    // (a) No similarity exceeds 1.0, so no later state can replace a
    // candidate that scores it.
    if (consider(st)) break;
    if (st.consumed >= remaining_) continue;
    have = expand(st, i);
  }
  return best_;
}

// Keywords and clean names shorter than this keep every edited similarity
// below 1.0 (see shallowest_exact).
constexpr std::uint64_t kExactFirstLimit = std::uint64_t{1} << 23;

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
// the deepest keyword and longest clean name stay below kExactFirstLimit.
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
    return {true, known->similarity, index.name(known->name_id), known->consumed, known->name_id};
  }
  ++searched;
  const Candidate found = search.run(i);
  // A result is kept with a 32-bit consumed count (which the window bounds).
  if (search.window() > walked.depth && search.window() < remaining &&
      search.window() <= std::numeric_limits<std::uint32_t>::max()) {
    memo.insert(walked.slot, tail, search.window() - walked.depth,
                {found.similarity, found.name_id, static_cast<std::uint32_t>(found.consumed)});
  }
  return found;
}

void scan(const ApproxIndex& index, std::string_view text, float t, std::vector<KeywordMatch>& out,
          ApproxStats* stats) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const auto& word = index.plain().word;
  const bool overlaps = index.allow_overlaps();
  const ApproxIndex::Node& root = index.nodes()[0];
  const bool exact_first = root.height < kExactFirstLimit && root.max_name < kExactFirstLimit;
  const std::shared_ptr<const ApproxPlan> plan = plan_for(index, t, n, text);
  // (e) needs (d): keywords without an edit budget have no pieces.
  const bool filter = exact_first && plan && plan->filtering();
  std::optional<StartMarks> marks;
  if (filter) marks.emplace(*plan, s, n);
  EditSearch search(index, s, n, t);
  SearchMemo<Recalled> memo(memo_budget(n, kSearchShare));
  std::uint64_t starts = 0, filtered = 0, searched = 0, recalled = 0;

  Starts next_start(s, n, word, overlaps);
  for (std::size_t i = next_start.next(0); i < n;) {
    const std::size_t after = next_start.next(i + 1);
    if (exact_first) prefetch_walk(index.slots(), s, n, after);
    ++starts;
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
  }
}

}  // namespace

void scan_approximate(const ApproxIndex& index, std::string_view text, float threshold,
                      std::vector<KeywordMatch>& out) {
  scan(index, text, threshold, out, nullptr);
}

void scan_approximate_counted(const ApproxIndex& index, std::string_view text, float threshold,
                              std::vector<KeywordMatch>& out, ApproxStats& stats) {
  scan(index, text, threshold, out, &stats);
}

}  // namespace fernquill
