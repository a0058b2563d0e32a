// The least denominators at which a similarity with e edits meets the
// threshold, or beats a best similarity: the edit search's tests become
// integer comparisons.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "approx/approx_score.hpp"

namespace fernquill {

// Smallest d >= 1 with ok(d), for a predicate that is false below some d
// and true from there on. `guess` is an estimate of the answer.
template <class Ok>
inline std::uint64_t smallest_d(std::uint64_t guess, Ok ok) {
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

inline std::uint64_t least_d_at_least(std::int64_t e, float limit) {
  const double guess = static_cast<double>(e) / (1.0 - static_cast<double>(limit));
  return smallest_d(static_cast<std::uint64_t>(std::min(guess, 1e15)),
                    [&](std::uint64_t d) { return similarity(e, d) >= limit; });
}

inline std::uint64_t least_d_above(std::int64_t e, float limit) {
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

}  // namespace fernquill
