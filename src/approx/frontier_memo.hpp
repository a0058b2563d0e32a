// The frontiers of edit searches, kept by the window of text each search
// read before its horizon, so that a search from a start whose text begins
// with a known window goes straight to its frontier (see EditSearch::start
// for why that is sound). Lives and dies with one scan, within its share of
// the scan's memo budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "approx/search_memo.hpp"

namespace fernquill {

class FrontierMemo {
 public:
  explicit FrontierMemo(std::size_t text_bytes);

  // A frontier state as kept: its node, with its one edit or none in this
  // bit (its consumed count is the horizon).
  static constexpr std::uint32_t kEditedBit = std::uint32_t{1} << 31;

  struct Known {
    const std::uint32_t* first;  // its states, in the order the search pops them
    std::size_t count;
    std::uint32_t window;  // bytes the search read to find it
    bool complete;         // false: a state before the horizon was a candidate
  };
  // The frontier kept for a window that s[0, avail) begins with (and that
  // is shorter than avail).
  bool find(const std::uint8_t* s, std::size_t avail, Known& out) const;
  // Keeps the frontier found by a search that read s[0, window), or, when
  // it is not complete, that it is of no use.
  void keep(const std::uint8_t* s, std::uint64_t window, const std::vector<std::uint32_t>& frontier,
            bool complete);

 private:
  struct Frontier {
    std::uint32_t first;  // in pool_
    std::uint16_t count;
    std::uint8_t window;  // a kept window has at most SearchMemo's kMaxWindow bytes
    bool complete;
  };
  static constexpr std::uint32_t kAnchor = 0;
  static constexpr std::size_t kMaxKeptStates = 0xFFFF;
  std::size_t text_bytes_;
  SearchMemo<Frontier> memo_;
  std::vector<std::uint32_t> pool_;  // the kept frontiers, back to back
};

}  // namespace fernquill
