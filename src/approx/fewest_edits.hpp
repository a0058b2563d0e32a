// Rule (b) of the edit search: which (node, consumed) pairs a search from
// one start has expanded, and with how few edits (see edit_search.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace fernquill {

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

}  // namespace fernquill
