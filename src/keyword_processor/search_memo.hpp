// Results of a deterministic search over a text, kept by the window of text
// each search read, so that a later start whose text begins with a known
// window takes the known result without searching.
//
// The search from a start reads text bytes at offsets below some window
// length w, in an order fixed by the values it has read so far. Two starts
// whose texts agree on the first w bytes therefore read the same offsets and
// end alike. It follows that no recorded window is a proper prefix of
// another: the windows form a decision tree over the text bytes, held here
// as a trie whose leaves carry results. A lookup walks it along the text and
// stops at the first leaf.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace fernquill {

template <class Result>
class SearchMemo {
 public:
  // Windows longer than this are not kept: their searches are rarely
  // repeated, and the bound keeps the memo's size linear in the searches.
  static constexpr std::size_t kMaxWindow = 64;
  // Trie nodes kept at most; past that, nothing new is recorded.
  static constexpr std::size_t kMaxNodes = std::size_t{1} << 20;

  // The result of the window that s[0, avail) begins with, if one is
  // recorded and shorter than avail (the caller's bound on what a search
  // read without meeting the end of the text), or null.
  const Result* find(const std::uint8_t* s, std::size_t avail) const {
    if (slots_.empty()) return nullptr;
    std::uint32_t node = kRoot;
    for (std::size_t d = 0; d + 1 < avail && d < kMaxWindow; ++d) {
      node = child(node, s[d]);
      if (node == kNone) return nullptr;
      if (result_of_[node] != kInner) return &results_[result_of_[node]];
    }
    return nullptr;
  }

  // Records the result of a search that read s[0, window).
  void insert(const std::uint8_t* s, std::size_t window, const Result& result) {
    if (window == 0 || window > kMaxWindow || nodes() + window > kMaxNodes) return;
    if (slots_.empty()) grow();
    std::uint32_t node = kRoot;
    for (std::size_t d = 0; d < window; ++d) {
      std::uint32_t next = child(node, s[d]);
      if (next == kNone) {
        next = add_child(node, s[d]);
      } else if (result_of_[next] != kInner || d + 1 == window) {
        return;  // a shorter window already decides, or this one ends inside another
      }
      node = next;
    }
    result_of_[node] = static_cast<std::uint32_t>(results_.size());
    results_.push_back(result);
  }

  std::size_t memory_bytes() const {
    return slots_.capacity() * sizeof(Slot) + result_of_.capacity() * sizeof(std::uint32_t) +
           results_.capacity() * sizeof(Result);
  }

 private:
  static constexpr std::uint32_t kRoot = 0;
  static constexpr std::uint32_t kNone = 0xFFFFFFFFu;
  static constexpr std::uint32_t kInner = 0xFFFFFFFFu;
  static constexpr std::size_t kFirstSlots = 1024;

  // An edge of the trie: key (parent + 1) * 256 + byte, 0 when empty.
  struct Slot {
    std::uint64_t key = 0;
    std::uint32_t child = 0;
  };

  std::size_t nodes() const { return result_of_.size(); }
  static std::uint64_t key_of(std::uint32_t parent, std::uint8_t b) {
    return (std::uint64_t{parent} + 1) << 8 | b;
  }
  std::size_t home(std::uint64_t key) const {
    return static_cast<std::size_t>((key * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
  }
  std::uint32_t child(std::uint32_t parent, std::uint8_t b) const {
    const std::uint64_t key = key_of(parent, b);
    for (std::size_t h = home(key);; h = (h + 1) & (slots_.size() - 1)) {
      if (slots_[h].key == key) return slots_[h].child;
      if (slots_[h].key == 0) return kNone;
    }
  }
  std::uint32_t add_child(std::uint32_t parent, std::uint8_t b) {
    // Edges are one fewer than nodes: keep the table at most half full.
    if (nodes() * 2 >= slots_.size()) grow();
    const auto id = static_cast<std::uint32_t>(nodes());
    result_of_.push_back(kInner);
    place({key_of(parent, b), id});
    return id;
  }
  void place(const Slot& slot) {
    std::size_t h = home(slot.key);
    while (slots_[h].key != 0) h = (h + 1) & (slots_.size() - 1);
    slots_[h] = slot;
  }
  void grow() {
    std::vector<Slot> old(std::max(kFirstSlots, slots_.size() * 2));
    old.swap(slots_);
    for (const Slot& slot : old) {
      if (slot.key != 0) place(slot);
    }
    if (result_of_.empty()) result_of_.push_back(kInner);  // the root
  }

  std::vector<Slot> slots_;
  std::vector<std::uint32_t> result_of_;  // per node: index into results_, or kInner
  std::vector<Result> results_;
};

}  // namespace fernquill
