#include "approx/edit_search.hpp"

#include <algorithm>

#include "support/interrupt.hpp"

namespace fernquill {
namespace {

using SearchNode = ApproxIndex::SearchNode;

// std::popcount without a popcount instruction in the baseline target is a
// library call; this is a few register operations.
inline std::uint32_t bits_set(std::uint64_t x) {
  x -= (x >> 1) & 0x5555555555555555ull;
  x = (x & 0x3333333333333333ull) + ((x >> 2) & 0x3333333333333333ull);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0Full;
  return static_cast<std::uint32_t>((x * 0x0101010101010101ull) >> 56);
}

}  // namespace

inline float EditSearch::takes(const State& st) const {
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

inline bool EditSearch::consider(const State& st) {
  const float v = takes(st);
  if (v == 0.0f) return false;
  const std::uint32_t name = nodes_[st.node].name;
  best_ = {true, v, index_.name(name), st.consumed, name, st.edits};
  ++stamp_;
  return v == 1.0f;
}

inline bool EditSearch::already_expanded(const State& st) {
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
    return !seen_.improves(st.node, st.consumed, st.edits);
  }
  return false;
}

inline bool EditSearch::beyond_reach(const State& st) {
  // A nearest name no farther than the bytes left is always within reach.
  const std::uint64_t left = remaining_ - st.consumed;
  if (left >= farthest_nearest_) return false;
  const std::uint64_t edits = reach_edits();
  const auto e = static_cast<std::uint64_t>(st.edits);
  if (nearest_[st.node] <= left + (e < edits ? edits - e : 0)) return false;
  ended_ = true;
  return true;
}

std::uint64_t EditSearch::reach_edits() {
  if (reach_edits_ == kUnknownReach) {
    // X is about (1 - t) R: step from there to the exact count. X >= 0,
    // since edit_need(0) = 1 <= R whenever a state is expanded.
    auto x = static_cast<std::int64_t>((1.0 - static_cast<double>(table_.t())) *
                                       static_cast<double>(remaining_));
    while (x > 0 && edit_need(x) > remaining_) --x;
    while (edit_need(x + 1) <= remaining_) ++x;
    reach_edits_ = static_cast<std::uint64_t>(x) + 1;
  }
  return reach_edits_;
}

bool EditSearch::expand(State& st, std::size_t i) {
  if (beyond_reach(st) || already_expanded(st)) return false;
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
  push_edit_states(st, node, begin, end, x, i);
  return false;
}

inline void EditSearch::push_edit_states(const State& st, const SearchNode& node,
                                         std::uint32_t begin, std::uint32_t end, std::uint8_t x,
                                         std::size_t i) {
  const std::uint64_t c1 = st.consumed + 1;
  const std::int64_t e1 = st.edits + 1;
  // Every edit state below has the bound of (node, c + 1, e + 1) or a
  // smaller one: a child's height is lower and its longest name no
  // longer. One test covers them all.
  const std::uint64_t need1 = need(e1);
  if (!node.named_below() || bound(node, c1, e1) < need1) return;
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

inline std::uint32_t EditSearch::child_under(std::uint32_t k, const SearchNode& node,
                                             std::uint32_t begin, std::uint32_t end,
                                             std::uint8_t x) const {
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
      frontier_.push_back(st.node | (st.edits != 0 ? FrontierMemo::kEditedBit : 0));
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

void EditSearch::start(std::size_t i) {
  State root{0, 0, 0};
  if (horizon_ >= remaining_) {
    expand(root, i);  // a state without edits allows one, so this only pushes
    return;
  }
  const std::uint32_t* first = nullptr;
  std::size_t count = 0;
  FrontierMemo::Known known;
  if (frontiers_.find(s_ + i, remaining_, known)) {
    window_ = known.window;
    if (!known.complete) {
      expand(root, i);
      return;
    }
    first = known.first;
    count = known.count;
    ++resumed_;
  } else {
    const bool complete = explore_to_horizon(i);
    if (!ended_) frontiers_.keep(s_ + i, window_, frontier_, complete);
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
    stack_.push_back({first[k] & ~FrontierMemo::kEditedBit, horizon_,
                      (first[k] & FrontierMemo::kEditedBit) != 0 ? 1 : 0});
  }
}

Candidate EditSearch::run(std::size_t i) {
  remaining_ = n_ - i;
  window_ = 0;
  reach_edits_ = kUnknownReach;
  ended_ = false;
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
    // The search's working state lives in this object, so a check may run
    // anything here; a stop leaves through an exception.
    if ((popped_ & (kStatesPerPoll - 1)) == 0) interruption_point();
    // (a) No similarity exceeds 1.0, so no later state can replace a
    // candidate that scores it.
    if (consider(st)) break;
    if (st.consumed >= remaining_) continue;
    have = expand(st, i);
  }
  if (seen_open_ && seen_.dense()) ++dense_;
  if (ended_) ++ended_runs_;
  return best_;
}

}  // namespace fernquill
