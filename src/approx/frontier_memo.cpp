#include "approx/frontier_memo.hpp"

#include <algorithm>
#include <new>

namespace fernquill {

FrontierMemo::FrontierMemo(std::size_t text_bytes)
    : text_bytes_(text_bytes), memo_(memo_budget(text_bytes, kFrontierShare)) {}

bool FrontierMemo::find(const std::uint8_t* s, std::size_t avail, Known& out) const {
  const Frontier* known = memo_.find(kAnchor, s, avail);
  if (known == nullptr) return false;
  out = {pool_.data() + known->first, known->count, known->window, known->complete};
  return true;
}

void FrontierMemo::keep(const std::uint8_t* s, std::uint64_t window,
                        const std::vector<std::uint32_t>& frontier, bool complete) {
  // The memo keeps no window longer than this, and a frontier is kept
  // within a compact count: what is not kept is only a saving lost.
  if (window == 0 || window > SearchMemo<Frontier>::kMaxWindow) return;
  const std::size_t count = complete ? frontier.size() : 0;
  if (count > kMaxKeptStates) return;
  // The pool grows by hand so that its capacity, not just its size, stays
  // within the budget.
  const std::size_t limit = memo_budget(text_bytes_, kFrontierStatesShare) / sizeof(std::uint32_t);
  const std::size_t need = pool_.size() + count;
  if (need > limit) return;
  const Frontier kept{static_cast<std::uint32_t>(pool_.size()), static_cast<std::uint16_t>(count),
                      static_cast<std::uint8_t>(window), complete};
  try {
    if (need > pool_.capacity()) {
      pool_.reserve(std::min(limit, std::max(need, 2 * pool_.capacity())));
    }
    pool_.insert(pool_.end(), frontier.begin(), frontier.begin() + count);
  } catch (const std::bad_alloc&) {
    return;  // only a saving is lost
  }
  memo_.insert(kAnchor, s, window, kept);
}

}  // namespace fernquill
