// The score of the approximate search, the one definition every part of it
// (the search, the plan's budgets and its verification) computes with: the
// proofs beside each pruning compare values computed exactly this way.
#pragma once

#include <cstdint>

namespace fernquill {

// 1 - e / d in 32-bit float, each operation rounded to float. For a fixed e
// it never falls as d grows, and for a fixed d it never rises as e grows,
// since float division and subtraction round monotonically.
inline float similarity(std::int64_t e, std::uint64_t d) {
  return 1.0f - static_cast<float>(e) / static_cast<float>(d);
}

// Keywords and clean names shorter than this keep every float value the
// proofs rely on exact: 1 - e / d with e >= 1 rounds to 1.0 only for
// d >= 2^25, and the budget bounds stay exact below it. A store with a
// longer keyword or clean name is searched without the exact-path shortcut
// and the piece filter.
constexpr std::uint64_t kExactnessLimit = std::uint64_t{1} << 23;
// Whether a store whose deepest keyword and longest clean name have these
// lengths stays within the limit.
inline bool within_exactness_limit(std::uint64_t height, std::uint64_t max_name) {
  return height < kExactnessLimit && max_name < kExactnessLimit;
}

}  // namespace fernquill
