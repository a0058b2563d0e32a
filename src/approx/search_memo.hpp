// Results of a deterministic search over a text, kept by the window of text
// each search read, so that a later start whose text begins with a known
// window takes the known result without searching.
//
// A search reads text bytes at offsets below some window length w, in an
// order fixed by the values it has read so far. Two starts whose texts agree
// on the first w bytes therefore read the same offsets and end alike. It
// follows that of the windows kept under one anchor (what the caller knows
// of the start besides the window: the node its exact walk ended on, say),
// none is a proper prefix of another, so at most one of them begins any
// text. A lookup probes each kept window length independently, which lets
// the probes overlap in the memory system.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <vector>

namespace fernquill {

template <class Result>
class SearchMemo {
 public:
  // Windows longer than this are not kept: their searches are rarely
  // repeated, and the bound keeps the memo linear in the searches.
  static constexpr std::size_t kMaxWindow = 64;
  // Windows kept at most; past that, or past the byte budget, nothing new
  // is recorded.
  static constexpr std::size_t kMaxEntries = std::size_t{1} << 22;

  // `budget`: bytes the memo may hold.
  explicit SearchMemo(std::size_t budget) : budget_(budget) {}

  // The result of the window under `anchor` that s[0, avail) begins with, if
  // one is kept and shorter than avail (the caller's bound on what a search
  // could read without meeting the end of the text), or null.
  const Result* find(std::uint32_t anchor, const std::uint8_t* s, std::size_t avail) const {
    if (entries_.empty()) return nullptr;
    const std::uint64_t head = load_head(s, avail);
    for (std::uint32_t lengths = lengths_under(anchor); lengths != 0; lengths &= lengths - 1) {
      const auto len = static_cast<std::uint32_t>(std::countr_zero(lengths));
      if (len >= avail) break;
      if (len > kHead) return find_long(anchor, s, avail, head);
      const std::uint64_t key = head & mask(len);
      for (std::size_t h = home(anchor, len, key);; h = next(h)) {
        const Slot& slot = slots_[h];
        if (slot.len == 0) break;
        if (slot.len == len && slot.anchor == anchor && slot.head == key) {
          return &entries_[slot.entry].result;
        }
      }
    }
    return nullptr;
  }

  // Records the result of a search that read s[0, window) under `anchor`.
  // The memo only spares work: when memory runs out it stops recording and
  // the scan goes on without it.
  void insert(std::uint32_t anchor, const std::uint8_t* s, std::size_t window,
              const Result& result) noexcept {
    if (window == 0 || window > kMaxWindow || entries_.size() >= kMaxEntries) return;
    static_assert(kMaxEntries <= std::size_t{1} << 24 && kMaxWindow < 256, "fits a Slot");
    const auto len = static_cast<std::uint32_t>(window);
    if (!room_for(len)) return;
    const auto entry = static_cast<std::uint32_t>(entries_.size());
    try {
      // Each step leaves the memo whole if the next one throws: a grown
      // table holds the same slots, and an entry no slot refers to is
      // never read.
      if ((entries_.size() + 1) * 2 > slots_.size()) grow();
      entries_.push_back({result, static_cast<std::uint32_t>(rest_.size())});
      if (len > kHead) rest_.insert(rest_.end(), s + kHead, s + window);
    } catch (const std::bad_alloc&) {
      budget_ = 0;
      return;
    }
    place({load_head(s, window), anchor, len, entry});
    add_length(anchor, std::uint32_t{1} << std::min<std::uint32_t>(len, kHead + 1));
  }

  std::size_t memory_bytes() const {
    return slots_.capacity() * (sizeof(Slot) + sizeof(Lengths)) +
           entries_.capacity() * sizeof(Entry) + rest_.capacity();
  }

 private:
  // Windows up to this many bytes are keyed whole; longer ones by their
  // first kHead bytes, with the rest compared.
  static constexpr std::uint32_t kHead = 8;
  static constexpr std::size_t kFirstSlots = 1024;

  struct Slot {
    std::uint64_t head = 0;  // the window's first min(len, kHead) bytes
    std::uint32_t anchor = 0;
    std::uint32_t len : 8 = 0;  // 0 for an empty slot
    std::uint32_t entry : 24 = 0;
  };
  // The window lengths kept under an anchor: bit len for len <= kHead, bit
  // kHead + 1 for the longer ones. A lookup probes only those, most often
  // none or one. The table has as many slots as slots_, and at most as many
  // anchors as windows are kept, so it is at most half full.
  struct Lengths {
    std::uint32_t anchor = 0;
    std::uint32_t lengths = 0;  // 0 for an empty slot
  };
  struct Entry {
    Result result;
    std::uint32_t rest;  // where bytes [kHead, len) of a long window lie in rest_
  };

  // Whether keeping a window of len bytes stays within the budget, counting
  // what the containers would grow by.
  bool room_for(std::uint32_t len) const {
    std::size_t more = 0;
    if ((entries_.size() + 1) * 2 > slots_.size()) {
      more += grown_slots() * (sizeof(Slot) + sizeof(Lengths));
    }
    if (entries_.size() == entries_.capacity()) {
      more += std::max<std::size_t>(1, entries_.capacity()) * sizeof(Entry);
    }
    if (len > kHead && rest_.size() + (len - kHead) > rest_.capacity()) {
      more += std::max<std::size_t>(rest_.capacity(), len - kHead);
    }
    return memory_bytes() + more <= budget_;
  }
  std::size_t grown_slots() const { return std::max(kFirstSlots, slots_.size() * 2); }
  static std::uint64_t mask(std::uint32_t len) {
    return len >= kHead ? ~std::uint64_t{0} : (std::uint64_t{1} << (8 * len)) - 1;
  }
  static std::uint64_t load_head(const std::uint8_t* s, std::size_t avail) {
    std::uint8_t bytes[kHead] = {};
    std::memcpy(bytes, s, std::min<std::size_t>(kHead, avail));
    std::uint64_t head = 0;
    for (std::uint32_t k = 0; k < kHead; ++k) head |= std::uint64_t{bytes[k]} << (8 * k);
    return head;
  }
  // Long windows share one length class, so that one probe sequence finds
  // all of those that begin with the same kHead bytes.
  std::size_t home(std::uint32_t anchor, std::uint32_t len, std::uint64_t head) const {
    const std::uint64_t cls = std::min(len, kHead + 1);
    std::uint64_t h =
        (head ^ (std::uint64_t{anchor} << 8 | cls) * 0xBF58476D1CE4E5B9ull) * 0x9E3779B97F4A7C15ull;
    return static_cast<std::size_t>(h >> 32) & (slots_.size() - 1);
  }
  std::size_t next(std::size_t h) const { return (h + 1) & (slots_.size() - 1); }
  std::size_t anchor_home(std::uint32_t anchor) const {
    return static_cast<std::size_t>((anchor * 0x9E3779B97F4A7C15ull) >> 32) & (slots_.size() - 1);
  }
  std::uint32_t lengths_under(std::uint32_t anchor) const {
    for (std::size_t h = anchor_home(anchor);; h = next(h)) {
      const Lengths& at = lengths_[h];
      if (at.lengths == 0 || at.anchor == anchor) return at.lengths;
    }
  }
  void add_length(std::uint32_t anchor, std::uint32_t bit) {
    std::size_t h = anchor_home(anchor);
    while (lengths_[h].lengths != 0 && lengths_[h].anchor != anchor) h = next(h);
    lengths_[h].anchor = anchor;
    lengths_[h].lengths |= bit;
  }

  const Result* find_long(std::uint32_t anchor, const std::uint8_t* s, std::size_t avail,
                          std::uint64_t head) const {
    for (std::size_t h = home(anchor, kHead + 1, head);; h = next(h)) {
      const Slot& slot = slots_[h];
      if (slot.len == 0) return nullptr;
      if (slot.len <= kHead || slot.len >= avail || slot.anchor != anchor || slot.head != head) {
        continue;
      }
      const Entry& entry = entries_[slot.entry];
      if (std::memcmp(s + kHead, rest_.data() + entry.rest, slot.len - kHead) == 0) {
        return &entry.result;
      }
    }
  }

  void place(const Slot& slot) {
    const std::uint64_t key = slot.head & mask(slot.len);
    std::size_t h = home(slot.anchor, slot.len, key);
    while (slots_[h].len != 0) h = next(h);
    slots_[h] = slot;
    slots_[h].head = key;
  }
  void grow() {
    std::vector<Slot> old(grown_slots());
    std::vector<Lengths> old_lengths(old.size());
    old.swap(slots_);
    old_lengths.swap(lengths_);
    for (const Slot& slot : old) {
      if (slot.len != 0) place(slot);
    }
    for (const Lengths& at : old_lengths) {
      if (at.lengths != 0) add_length(at.anchor, at.lengths);
    }
  }

  std::size_t budget_;
  std::vector<Slot> slots_;
  std::vector<Entry> entries_;
  std::vector<std::uint8_t> rest_;
  std::vector<Lengths> lengths_;
};

// Bytes a scan may spend on remembering searches: a few times its text,
// within limits, in twelfths: eight for the searches' results, two for the
// frontiers' windows and two for their states.
constexpr std::size_t kMemoBytesPerTextByte = 12;
constexpr std::size_t kMinMemoBytes = std::size_t{3} << 19;
constexpr std::size_t kMaxMemoBytes = std::size_t{1} << 26;
constexpr std::size_t kSearchShare = 8, kFrontierShare = 2, kFrontierStatesShare = 2, kShares = 12;
inline std::size_t memo_budget(std::size_t text_bytes, std::size_t share) {
  return std::clamp(text_bytes * kMemoBytesPerTextByte, kMinMemoBytes, kMaxMemoBytes) / kShares *
         share;
}

}  // namespace fernquill
