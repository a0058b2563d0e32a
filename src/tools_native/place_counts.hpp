// Matches per stored clean name over one block of a column scan.
//
// Keyed by where a name is stored: each stored name has one place for the
// life of the borrow, so a match is counted without hashing or comparing the
// name's bytes. A block counts up to hundreds of thousands of matches over a
// few thousand names, which a node-based map spent a tenth of the scan on;
// hence a flat table with linear probing. Plain C++; one owner thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fernquill::columns {

class PlaceCounts {
 public:
  void add(std::string_view name) {
    if (2 * (used_ + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(name.data(), mask);; i = (i + 1) & mask) {
      Slot& s = slots_[i];
      if (s.n == 0) {
        s = {name.data(), name.size(), 1};
        ++used_;
        return;
      }
      if (s.data == name.data() && s.size == name.size()) {
        ++s.n;
        return;
      }
    }
  }
  // Calls f(name, count) for every name counted, in no particular order.
  template <class F>
  void for_each(F&& f) const {
    for (const Slot& s : slots_) {
      if (s.n != 0) f(std::string_view(s.data, s.size), s.n);
    }
  }

 private:
  struct Slot {
    const char* data = nullptr;
    std::size_t size = 0;
    std::uint64_t n = 0;  // 0: a free slot
  };
  static constexpr std::size_t kFirstSlots = 64;

  static std::size_t slot_of(const char* place, std::size_t mask) {
    // Fibonacci hashing: the multiply spreads the address's varying bits to
    // the top, which the shift keeps.
    const auto bits = reinterpret_cast<std::uintptr_t>(place);
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  }
  void grow() {
    std::vector<Slot> old(slots_.empty() ? kFirstSlots : slots_.size() * 2);
    old.swap(slots_);
    const std::size_t mask = slots_.size() - 1;
    for (const Slot& s : old) {
      if (s.n == 0) continue;
      std::size_t i = slot_of(s.data, mask);
      while (slots_[i].n != 0) i = (i + 1) & mask;
      slots_[i] = s;
    }
  }

  std::vector<Slot> slots_;  // a power of two in size, at most half full
  std::size_t used_ = 0;
};

}  // namespace fernquill::columns
