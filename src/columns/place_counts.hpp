// Matches per stored clean name over one block of a column scan, names in
// the order of their first match.
//
// Keyed by where a name is stored: each stored name has one place for the
// life of the borrow, so a match is counted without hashing or comparing the
// name's bytes. A block counts up to hundreds of thousands of matches over a
// few thousand names, on which a node-based map spent a tenth of the scan;
// hence a flat table of entry numbers with linear probing. Plain C++; one
// owner thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

namespace fernquill::columns {

struct NameCount {
  std::string_view name;
  std::uint64_t n;
};

class PlaceCounts {
 public:
  void add(std::string_view name) {
    if (2 * (counts_.size() + 1) > slots_.size()) grow();
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t i = slot_of(name.data(), mask);; i = (i + 1) & mask) {
      if (slots_[i] == kFree) {
        slots_[i] = static_cast<std::uint32_t>(counts_.size());
        counts_.push_back({name, 1});
        return;
      }
      NameCount& c = counts_[slots_[i]];
      if (c.name.data() == name.data() && c.name.size() == name.size()) {
        ++c.n;
        return;
      }
    }
  }
  // In the order of each name's first match.
  const std::vector<NameCount>& counts() const { return counts_; }

 private:
  static constexpr std::uint32_t kFree = UINT32_MAX;
  static constexpr std::size_t kFirstSlots = 64;

  static std::size_t slot_of(const char* place, std::size_t mask) {
    // Fibonacci hashing: the multiply spreads the address's varying bits
    // upwards, where the shift takes them from.
    const auto bits = static_cast<std::uint64_t>(reinterpret_cast<std::uintptr_t>(place));
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> 32) & mask;
  }
  void grow() {
    slots_.assign(slots_.empty() ? kFirstSlots : slots_.size() * 2, kFree);
    const std::size_t mask = slots_.size() - 1;
    for (std::size_t e = 0; e < counts_.size(); ++e) {
      std::size_t i = slot_of(counts_[e].name.data(), mask);
      while (slots_[i] != kFree) i = (i + 1) & mask;
      slots_[i] = static_cast<std::uint32_t>(e);
    }
  }

  std::vector<std::uint32_t> slots_;  // a power of two in size, at most half full
  std::vector<NameCount> counts_;
};

}  // namespace fernquill::columns
