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
//
// Most of a scan's lookups are either for a window met often, whose slot
// stays in the cache, or for one never kept, which would cost a cache miss
// in a table of megabytes only to learn that. A byte per slot (a tag: a
// few bits of the window's hash, 0 for an empty slot) answers the second
// kind from a table a slot's size smaller, which the cache holds.
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
    if (kept_ == 0) return nullptr;
    const std::uint64_t head = load_head(s, avail);
    for (std::uint32_t lengths = lengths_under(anchor); lengths != 0; lengths &= lengths - 1) {
      const auto len = static_cast<std::uint32_t>(std::countr_zero(lengths));
      if (len >= avail) break;
      if (len > kHead) return find_long(anchor, s, avail, head);
      const std::uint64_t key = head & mask(len);
      const Home at = home(anchor, len, key);
      for (std::size_t h = at.slot; tags_[h] != 0; h = next(h)) {
        if (tags_[h] != at.tag) continue;
        const Slot& slot = slots_[h];
        if (slot.len == len && slot.anchor == anchor && slot.head == key) return &slot.result;
      }
    }
    return nullptr;
  }

  // Records the result of a search that read s[0, window) under `anchor`.
  // The memo only spares work: when memory runs out it stops recording and
  // the scan goes on without it.
  void insert(std::uint32_t anchor, const std::uint8_t* s, std::size_t window,
              const Result& result) noexcept {
    if (window == 0 || window > kMaxWindow || kept_ >= kMaxEntries) return;
    static_assert(kMaxWindow < 256, "a window length fits a byte");
    const auto len = static_cast<std::uint32_t>(window);
    if (!room_for(len) || (len > kHead && rest_.size() + (len - kHead) > kMaxRest)) return;
    try {
      // Each step leaves the memo whole if the next one throws: a grown
      // table holds the same slots.
      if ((kept_ + 1) * 2 > slots_.size()) grow_slots();
      if ((anchors_ + 1) * 2 > lengths_.size()) grow_lengths();
      if (len > kHead) rest_.insert(rest_.end(), s + kHead, s + window);
    } catch (const std::bad_alloc&) {
      budget_ = 0;
      return;
    }
    const auto rest = static_cast<std::uint32_t>(len > kHead ? rest_.size() - (len - kHead) : 0);
    place({load_head(s, window), anchor, len, rest, result});
    ++kept_;
    add_length(anchor, std::uint32_t{1} << std::min<std::uint32_t>(len, kHead + 1));
  }

  std::size_t memory_bytes() const {
    return slots_.capacity() * sizeof(Slot) + tags_.capacity() +
           lengths_.capacity() * sizeof(Lengths) + rest_.capacity();
  }

 private:
  // Windows up to this many bytes are keyed whole; longer ones by their
  // first kHead bytes, with the rest compared.
  static constexpr std::uint32_t kHead = 8;
  static constexpr std::size_t kFirstSlots = 1024;
  static constexpr std::size_t kFirstAnchors = 64;

  // A kept window with its result, in one place: a lookup that finds its
  // window has its result in the same cache line.
  struct Slot {
    std::uint64_t head = 0;  // the window's first min(len, kHead) bytes
    std::uint32_t anchor = 0;
    std::uint32_t len : 8 = 0;
    std::uint32_t rest : 24 = 0;  // where bytes [kHead, len) of a long window lie in rest_
    Result result{};
  };
  static constexpr std::size_t kMaxRest = std::size_t{1} << 24;
  // The window lengths kept under an anchor: bit len for len <= kHead, bit
  // kHead + 1 for the longer ones. A lookup probes only those, most often
  // none or one. Sized by the anchors, far fewer than the windows, so that
  // it stays in the cache; at most half full.
  struct Lengths {
    std::uint32_t anchor = 0;
    std::uint32_t lengths = 0;  // 0 for an empty slot
  };

  // Whether keeping a window of len bytes stays within the budget, counting
  // what the containers would grow by.
  bool room_for(std::uint32_t len) const {
    std::size_t more = 0;
    if ((kept_ + 1) * 2 > slots_.size()) {
      more += grown(slots_.size(), kFirstSlots) * (sizeof(Slot) + 1);
    }
    if ((anchors_ + 1) * 2 > lengths_.size()) {
      more += grown(lengths_.size(), kFirstAnchors) * sizeof(Lengths);
    }
    if (len > kHead && rest_.size() + (len - kHead) > rest_.capacity()) {
      more += std::max<std::size_t>(rest_.capacity(), len - kHead);
    }
    return memory_bytes() + more <= budget_;
  }
  static std::size_t grown(std::size_t size, std::size_t first) {
    return std::max(first, size * 2);
  }
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
  // Where a window's probe sequence begins, and the tag of its slot: the
  // top bits of the hash, which the position does not use. Long windows
  // share one length class, so that one probe sequence finds all of those
  // that begin with the same kHead bytes.
  struct Home {
    std::size_t slot;
    std::uint8_t tag;
  };
  Home home(std::uint32_t anchor, std::uint32_t len, std::uint64_t head) const {
    const std::uint64_t cls = std::min(len, kHead + 1);
    std::uint64_t h =
        (head ^ (std::uint64_t{anchor} << 8 | cls) * 0xBF58476D1CE4E5B9ull) * 0x9E3779B97F4A7C15ull;
    static_assert(kMaxEntries * 2 <= std::uint64_t{1} << 25, "the position leaves the top bits");
    return {static_cast<std::size_t>(h >> 32) & (slots_.size() - 1),
            static_cast<std::uint8_t>(0x80 | (h >> 57))};
  }
  std::size_t next(std::size_t h) const { return (h + 1) & (slots_.size() - 1); }
  std::size_t anchor_home(std::uint32_t anchor) const {
    return static_cast<std::size_t>((anchor * 0x9E3779B97F4A7C15ull) >> 32) & (lengths_.size() - 1);
  }
  std::size_t next_anchor(std::size_t h) const { return (h + 1) & (lengths_.size() - 1); }
  std::uint32_t lengths_under(std::uint32_t anchor) const {
    for (std::size_t h = anchor_home(anchor);; h = next_anchor(h)) {
      const Lengths& at = lengths_[h];
      if (at.lengths == 0 || at.anchor == anchor) return at.lengths;
    }
  }
  void add_length(std::uint32_t anchor, std::uint32_t bits) {
    std::size_t h = anchor_home(anchor);
    while (lengths_[h].lengths != 0 && lengths_[h].anchor != anchor) h = next_anchor(h);
    anchors_ += lengths_[h].lengths == 0;
    lengths_[h].anchor = anchor;
    lengths_[h].lengths |= bits;
  }

  const Result* find_long(std::uint32_t anchor, const std::uint8_t* s, std::size_t avail,
                          std::uint64_t head) const {
    const Home at = home(anchor, kHead + 1, head);
    for (std::size_t h = at.slot;; h = next(h)) {
      if (tags_[h] == 0) return nullptr;
      if (tags_[h] != at.tag) continue;
      const Slot& slot = slots_[h];
      if (slot.len <= kHead || slot.len >= avail || slot.anchor != anchor || slot.head != head) {
        continue;
      }
      if (std::memcmp(s + kHead, rest_.data() + slot.rest, slot.len - kHead) == 0) {
        return &slot.result;
      }
    }
  }

  void place(const Slot& slot) {
    const std::uint64_t key = slot.head & mask(slot.len);
    const Home at = home(slot.anchor, slot.len, key);
    std::size_t h = at.slot;
    while (tags_[h] != 0) h = next(h);
    slots_[h] = slot;
    slots_[h].head = key;
    tags_[h] = at.tag;
  }
  void grow_slots() {
    std::vector<Slot> old(grown(slots_.size(), kFirstSlots));
    std::vector<std::uint8_t> old_tags(old.size());
    old.swap(slots_);
    old_tags.swap(tags_);
    for (std::size_t k = 0; k < old.size(); ++k) {
      if (old_tags[k] != 0) place(old[k]);
    }
  }
  void grow_lengths() {
    std::vector<Lengths> old(grown(lengths_.size(), kFirstAnchors));
    old.swap(lengths_);
    anchors_ = 0;
    for (const Lengths& at : old) {
      if (at.lengths != 0) add_length(at.anchor, at.lengths);
    }
  }

  std::size_t budget_;
  std::size_t kept_ = 0;     // windows kept
  std::size_t anchors_ = 0;  // anchors with a kept window
  std::vector<Slot> slots_;
  std::vector<std::uint8_t> tags_;  // per slot: 0 empty, else 0x80 | 7 bits of its hash
  std::vector<Lengths> lengths_;
  std::vector<std::uint8_t> rest_;
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
