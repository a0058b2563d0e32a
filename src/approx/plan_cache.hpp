// The plans of one ApproxIndex, kept for the last kCachedPlans thresholds
// (by their float bits). A plan costs about as much to build as an
// unfiltered scan of a few bytes per trie node, so it is built only once the
// approximate scans with the index have covered kPlanBytesPerNode bytes per
// node, counting the text of the scan asking; until then `find_or_build`
// returns null and the scan searches every start. Safe to call from any
// number of threads at once: a plan is built under the mutex, is immutable
// once built, and a caller's shared_ptr keeps it alive after eviction.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

namespace fernquill {

class ApproxPlan;

class PlanCache {
 public:
  static constexpr std::size_t kCachedPlans = 4;
  static constexpr std::uint64_t kPlanBytesPerNode = 2;

  // The plan for t, built by `build()` when it is missing and the scans of
  // an index of `nodes` trie nodes have covered enough text.
  template <class Build>
  std::shared_ptr<const ApproxPlan> find_or_build(float t, std::uint64_t nodes,
                                                  std::size_t text_bytes, Build build) {
    const auto bits = std::bit_cast<std::uint32_t>(t);
    std::lock_guard<std::mutex> lock(mutex_);
    for (const CachedPlan& cached : plans_) {
      if (cached.plan && cached.bits == bits) return cached.plan;
    }
    const std::uint64_t need = nodes * kPlanBytesPerNode;
    scanned_bytes_ = std::min(need, scanned_bytes_ + std::min<std::uint64_t>(text_bytes, need));
    if (scanned_bytes_ < need) return nullptr;
    CachedPlan& slot = plans_[next_];
    next_ = (next_ + 1) % kCachedPlans;
    slot.plan = build();
    slot.bits = bits;
    return slot.plan;
  }

 private:
  struct CachedPlan {
    std::uint32_t bits = 0;
    std::shared_ptr<const ApproxPlan> plan;
  };
  std::mutex mutex_;
  std::array<CachedPlan, kCachedPlans> plans_;
  std::size_t next_ = 0;             // the slot replaced next
  std::uint64_t scanned_bytes_ = 0;  // approximate scan bytes, under the mutex
};

}  // namespace fernquill
