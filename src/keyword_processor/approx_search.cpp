// Approximate matching: the depth-first edit search from every position
// allowed by the start test, with exact pruning.
//
// The search visits states (node, consumed c, edits e) from a LIFO stack in a
// fixed order and keeps the first state of strictly greatest similarity
// s = 1 - e / max(c, clean-name length) that reaches the threshold. Pruning
// must therefore leave every update of the best candidate in place. Three
// rules do, each proven where it is applied below:
//  (a) stop once the best similarity is 1.0;
//  (b) skip the expansion of a state seen before at this position;
//  (c) drop a state whose whole subtree is bounded below the threshold or
//      at or below the best similarity so far.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "keyword_processor/scan_index.hpp"
#include "text/utf8.hpp"

namespace fernquill {
namespace {

using utf8::is_trim;

struct State {
  std::uint32_t node;
  std::uint64_t consumed;
  std::int64_t edits;
};

// 1 - e / d in 32-bit float, each operation rounded to float.
inline float similarity(std::int64_t e, std::uint64_t d) {
  return 1.0f - static_cast<float>(e) / static_cast<float>(d);
}

// States expanded at the current position. Open addressing; a generation
// stamp empties the table for the next position without touching it. When
// the table is at its size limit it stops recording, which only gives up
// some skipping.
class SeenStates {
 public:
  // Returns false when (node, c, e) was recorded at this position before.
  bool insert(std::uint32_t node, std::uint64_t c, std::int64_t e) {
    if (static_cast<std::uint64_t>(e) > 0xFFFFFFFFu) return true;
    const std::uint64_t k1 = node | (static_cast<std::uint64_t>(e) << 32);
    if (slots_.empty()) resize(1024);
    std::size_t mask = slots_.size() - 1;
    for (std::size_t h = hash(k1, c) & mask;; h = (h + 1) & mask) {
      Entry& slot = slots_[h];
      if (slot.generation != generation_) {
        if ((live_ + 1) * 2 > slots_.size()) {
          if (slots_.size() >= kMaxSlots) return true;
          resize(slots_.size() * 2);
          return insert(node, c, e);
        }
        slot = Entry{k1, c, generation_};
        ++live_;
        return true;
      }
      if (slot.k1 == k1 && slot.c == c) return false;
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
    std::uint64_t k1 = 0;
    std::uint64_t c = 0;
    std::uint32_t generation = 0;
  };
  static constexpr std::size_t kMaxSlots = std::size_t{1} << 20;
  static std::size_t hash(std::uint64_t k1, std::uint64_t c) {
    std::uint64_t h = (k1 ^ (c * 0x9E3779B97F4A7C15ull)) * 0xBF58476D1CE4E5B9ull;
    return static_cast<std::size_t>(h ^ (h >> 31));
  }
  void resize(std::size_t size) {
    std::vector<Entry> old;
    old.swap(slots_);
    slots_.assign(size, Entry{});
    live_ = 0;
    for (const Entry& slot : old) {
      if (slot.generation != generation_) continue;
      for (std::size_t h = hash(slot.k1, slot.c) & (size - 1);; h = (h + 1) & (size - 1)) {
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

}  // namespace

void scan_approximate(const ApproxIndex& index, std::string_view text, float t,
                      std::vector<KeywordMatch>& out) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const auto& word = index.plain().word;
  const bool overlaps = index.allow_overlaps();
  const ApproxIndex::Node* nodes = index.nodes().data();
  const std::uint16_t* keys = index.keys().data();
  const ScanIndex::Slot* da = index.slots();
  const std::uint32_t* slot_nodes = index.slot_nodes().data();
  // Recording seen states costs a hash probe per expanded state. It pays
  // where many edit paths meet in the same state, which makes the search
  // blow up; a search that stays small (nearly always at high thresholds)
  // has few repeats and would only pay for the probes. So recording starts
  // once a position has taken kSeenAfter states, and covers states with at
  // least two edits (one edit rarely meets another path).
  constexpr std::uint64_t kSeenAfter = 512;
  constexpr std::int64_t kSeenFromEdits = 2;
  SeenStates seen;
  std::vector<State> stack;
  std::uint64_t popped = 0;

  // need_t[e]: least denominator at which e edits still reach t.
  // need_start[e]: least at which they also give more than 0 (the best at
  // the start of each position). need[e]: the least for both t and the
  // current best. All filled on first use; need[] again after each change
  // of the best.
  std::uint64_t need_t[kTable], need_start[kTable], need[kTable];
  bool need_ready[kTable] = {};
  std::uint64_t need_stamp[kTable] = {};
  std::uint64_t stamp = 0;
  auto prepare = [&](std::int64_t e) {
    if (need_ready[e]) return;
    need_t[e] = least_d_at_least(e, t);
    need_start[e] = std::max(need_t[e], least_d_above(e, 0.0f));
    need_ready[e] = true;
  };
  auto threshold_need = [&](std::int64_t e) {
    prepare(e);
    return need_t[e];
  };

  std::size_t i = 0;
  while (i < n) {
    if (i > 0 && !overlaps && word[s[i - 1]]) {
      ++i;
      continue;
    }
    const std::uint64_t remaining = n - i;
    float best = 0.0f;
    std::uint32_t best_node = 0;
    std::uint64_t best_consumed = 0;
    bool found = false;
    ++stamp;
    const std::uint64_t seen_from = popped + kSeenAfter;
    bool seen_open = false;

    // Whether a similarity with e edits and denominator d reaches t and
    // beats the best so far.
    auto worth = [&](std::int64_t e, std::uint64_t d) {
      if (e >= kTable) {
        const float u = similarity(e, d);
        return u >= t && u > best;
      }
      if (need_stamp[e] != stamp) {
        prepare(e);
        need[e] = found ? std::max(need_t[e], least_d_above(e, best)) : need_start[e];
        need_stamp[e] = stamp;
      }
      return d >= need[e];
    };
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
    auto bound = [&](const ApproxIndex::Node& node, std::uint64_t c, std::int64_t e) {
      // A saturated height or length stands for "too long to bound".
      if (node.height == ApproxIndex::kSaturated || node.max_name == ApproxIndex::kSaturated) {
        return ~std::uint64_t{0};
      }
      std::uint64_t d = std::max<std::uint64_t>(c + node.height, node.max_name);
      return std::max<std::uint64_t>(d, static_cast<std::uint64_t>(e));
    };

    stack.clear();
    stack.push_back({0, 0, 0});
    State st{};
    bool have = false;  // st holds the next state without a trip through the stack
    while (have || !stack.empty()) {
      if (!have) {
        st = stack.back();
        stack.pop_back();
      }
      have = false;
      ++popped;
      const ApproxIndex::Node& node = nodes[st.node];
      // A state that consumed no text is never a candidate: it would end
      // before its own start and resume where it began. Leaving it out here
      // lets the best state that did consume text win instead.
      if (node.name != ApproxIndex::kNoName && st.consumed > 0) {
        const std::uint64_t len =
            node.name_len != ApproxIndex::kSaturated ? node.name_len : index.name(node.name).size();
        const float v = similarity(st.edits, std::max<std::uint64_t>(st.consumed, len));
        if (v >= t && v > best) {
          best = v;
          best_node = st.node;
          best_consumed = st.consumed;
          found = true;
          ++stamp;
          // (a) No similarity exceeds 1.0, so no later state can replace
          // this one.
          if (v == 1.0f) break;
        }
      }
      if (st.consumed >= remaining) continue;
      // (b) The states below (node, c, e) depend on nothing but the state.
      // A repeat is popped after the first copy's whole subtree: the stack
      // is LIFO and a state is never its own descendant (every move raises
      // c + e). So every candidate below the repeat was compared before,
      // against a best no greater than now, and can only tie. The same
      // holds for the parts of that subtree pruned by (b) or (c), by
      // induction on the order of popping. Only expanded states are
      // recorded, so recording just some of them is as sound.
      if (st.edits >= kSeenFromEdits && popped > seen_from) {
        if (!seen_open) {
          seen.next_position();
          seen_open = true;
        }
        if (!seen.insert(st.node, st.consumed, st.edits)) continue;
      }
      const std::uint8_t x = s[i + st.consumed];
      const std::uint32_t begin = node.child_begin, end = node.child_end;
      std::uint32_t exact = end;
      if (node.slot != ApproxIndex::kNoSlot) {
        // The child under x through the double array: no search.
        const std::uint32_t slot = ScanIndex::base_of(da[node.slot]) + x;
        if (ScanIndex::check_of(da[slot]) == node.slot) exact = slot_nodes[slot];
      } else {
        for (std::uint32_t c = begin; c < end; ++c) {
          if (keys[c] >= x) {
            if (keys[c] == x) exact = c;
            break;
          }
        }
      }
      const std::uint64_t c1 = st.consumed + 1;
      const bool push_exact =
          exact != end && (st.edits == 0 || (nodes[exact].named_below &&
                                             worth(st.edits, bound(nodes[exact], c1, st.edits))));
      // The edit states need 1 - e / (c + 1) >= t.
      if (st.edits < kTable ? c1 < threshold_need(st.edits) : similarity(st.edits, c1) < t) {
        // The exact continuation is the only state pushed, so it is the next
        // one popped: take it directly.
        if (push_exact) {
          st = {exact, c1, st.edits};
          have = true;
        }
        continue;
      }
      if (push_exact) stack.push_back({exact, c1, st.edits});
      const std::int64_t e1 = st.edits + 1;
      // Every edit state below has the bound of (node, c + 1, e + 1) or a
      // smaller one: a child's height is lower and its longest name no
      // longer. One test covers them all.
      if (!node.named_below || !worth(e1, bound(node, c1, e1))) continue;
      stack.push_back({st.node, c1, e1});
      for (std::uint32_t c = begin; c < end; ++c) {
        const ApproxIndex::Node& child = nodes[c];
        // The bound with c + 1 is at least the bound with c.
        if (!child.named_below || !worth(e1, bound(child, c1, e1))) continue;
        if (keys[c] != x) stack.push_back({c, c1, e1});
        if (worth(e1, bound(child, st.consumed, e1))) stack.push_back({c, st.consumed, e1});
      }
    }
    if (!found) {
      ++i;
      continue;
    }
    const std::size_t stop = i + best_consumed;
    const std::size_t end = is_trim(s[stop - 1]) ? stop - 1 : stop;
    bool pass = end == n || overlaps;
    for (std::size_t k = end; !pass && k < end + 3 && k < n; ++k) pass = !word[s[k]];
    if (!pass) {
      ++i;
      continue;
    }
    const float rounded = std::round(best * 100.0f) / 100.0f;
    out.push_back({index.name(nodes[best_node].name), rounded, is_trim(s[i]) ? i + 1 : i, end});
    i = stop;
  }
}

}  // namespace fernquill
