#include "exact/scan_index.hpp"

#include <algorithm>
#include <bit>
#include <span>

#include "support/fault.hpp"
#include "support/memory_size.hpp"
#include "text/lowercase.hpp"

namespace fernquill {
namespace {

constexpr std::size_t kBitsPerWord = 64;

// Finds room for a node's children in the double array: the smallest base
// at which every child's slot (base + key) is free, searched from a given
// slot on. Used slots are kept in a bitmap that grows on demand.
class SlotAllocator {
 public:
  static constexpr std::size_t kInitialSlots = 1024;

  SlotAllocator() {
    ensure(kInitialSlots);
    mark(ScanIndex::kRootSlot);
  }

  bool used(std::size_t slot) const {
    return slot < capacity_ && ((used_[slot / kBitsPerWord] >> (slot % kBitsPerWord)) & 1) != 0;
  }
  // One past the highest used slot.
  std::size_t top() const { return top_; }

  // Places children with the ascending `keys` so that the first lands at or
  // after `from`; marks their slots used and returns the base.
  std::size_t place(std::size_t from, std::span<const std::uint32_t> keys) {
    std::size_t f = next_free(std::max<std::size_t>(from, keys[0]));
    while (!fits(f - keys[0], keys)) f = next_free(f + 1);
    const std::size_t base = f - keys[0];
    for (std::uint32_t key : keys) mark(base + key);
    return base;
  }

 private:
  void ensure(std::size_t size) {
    if (size <= capacity_) return;
    capacity_ = std::max(size, capacity_ + capacity_ / 2);
    used_.resize((capacity_ + kBitsPerWord - 1) / kBitsPerWord, 0);
    capacity_ = used_.size() * kBitsPerWord;
  }
  void mark(std::size_t slot) {
    ensure(slot + 1);
    used_[slot / kBitsPerWord] |= std::uint64_t{1} << (slot % kBitsPerWord);
    top_ = std::max(top_, slot + 1);
  }
  bool fits(std::size_t base, std::span<const std::uint32_t> keys) {
    ensure(base + kByteKeys);
    for (std::size_t j = 1; j < keys.size(); ++j) {
      if (used(base + keys[j])) return false;
    }
    return true;
  }
  // The first free slot at or after `slot`.
  std::size_t next_free(std::size_t slot) {
    ensure(slot + 1);
    std::size_t w = slot / kBitsPerWord;
    std::uint64_t bits = ~used_[w] & (~std::uint64_t{0} << (slot % kBitsPerWord));
    while (bits == 0) {
      if (++w == used_.size()) ensure(capacity_ + kBitsPerWord);
      bits = ~used_[w];
    }
    return w * kBitsPerWord + static_cast<std::size_t>(std::countr_zero(bits));
  }

  std::vector<std::uint64_t> used_;
  std::size_t capacity_ = 0;
  std::size_t top_ = 0;
};

// The children of `node` a scan can take, in ascending key order: only edges
// of a single byte; subtrees under larger keys (only a loaded state has
// them) are left out.
void byte_children(const Trie& trie, NodeId node, std::vector<std::uint32_t>& keys,
                   std::vector<NodeId>& kids) {
  keys.clear();
  kids.clear();
  for (NodeId c = trie.first_child(node); c != kNoNode; c = trie.next_sibling(c)) {
    if (trie.key(c) > kMaxByteKey) continue;
    keys.push_back(trie.key(c));
    kids.push_back(c);
  }
}

// The array's length: every base plus any byte must stay inside it.
std::size_t array_size(const SlotAllocator& alloc, const std::vector<std::uint32_t>& base) {
  const std::size_t top = alloc.top();
  std::size_t size = top;
  for (std::size_t slot = 0; slot < top; ++slot) {
    if (alloc.used(slot)) size = std::max<std::size_t>(size, std::size_t{base[slot]} + kByteKeys);
  }
  return size;
}

void set_word_ranges(ByteTables& tables) {
  tables.word_ranges = 0;
  for (std::uint32_t b = 0; b < kByteKeys;) {
    if (!tables.word[b]) {
      ++b;
      continue;
    }
    std::uint32_t e = b;
    while (e + 1 < kByteKeys && tables.word[e + 1]) ++e;
    if (tables.word_ranges == ByteTables::kMaxWordRanges) {
      tables.word_ranges = ByteTables::kTooManyRanges;
      return;
    }
    tables.range_lo[tables.word_ranges] = static_cast<std::uint8_t>(b);
    tables.range_span[tables.word_ranges] = static_cast<std::uint8_t>(e - b);
    ++tables.word_ranges;
    b = e + 1;
  }
}

}  // namespace

ScanIndex::ScanIndex(const Trie& trie, const WordSet& words, bool allow_overlaps)
    : allow_overlaps_(allow_overlaps) {
  build_double_array(trie);
  build_tables(words);
  build_keyword_above();
}

void ScanIndex::build_keyword_above() {
  // Parents are placed before their children, at lower slots (each node's
  // children go after its own slot), so one pass in slot order sees every
  // parent's bit before its children's.
  keyword_above_.assign(slots_.size() / 64 + 1, 0);
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    const std::uint32_t up = check_of(slots_[slot]);
    if (up == kEmptyCheck || up == kRootSlot) continue;
    if ((slots_[up] & kKeywordBit) || keyword_above(up)) {
      keyword_above_[slot / 64] |= std::uint64_t{1} << (slot % 64);
    }
  }
}

// Where the trie's nodes went: the slots of the double array before they
// are packed into it.
struct ScanIndex::Layout {
  SlotAllocator alloc;
  std::vector<std::uint32_t> base, parent;
  std::vector<NodeId> named;  // the keyword node of each slot, or kNoNode
};

void ScanIndex::build_double_array(const Trie& trie) {
  // Slots are placed depth first, each node's children at the first free
  // positions after the node's own slot. A chain of single children (the
  // tail of most keywords) then lies in consecutive slots, so a walk touches
  // few cache lines.
  struct Placed {
    NodeId node;
    std::uint32_t slot;
  };
  SlotAllocator alloc;
  std::vector<std::uint32_t> base, parent;
  std::vector<NodeId> named;  // the keyword node of each slot, or kNoNode
  auto record = [&](std::size_t slot) {
    if (base.size() <= slot) {
      const std::size_t size = std::max(slot + 1, base.size() + base.size() / 2);
      base.resize(size, 0);
      parent.resize(size, kEmptyCheck);
      named.resize(size, kNoNode);
    }
  };
  record(kRootSlot);
  std::vector<std::uint32_t> keys;
  std::vector<NodeId> kids;
  std::vector<Placed> stack{{Trie::kRoot, kRootSlot}};
  while (!stack.empty()) {
    const Placed at = stack.back();
    stack.pop_back();
    byte_children(trie, at.node, keys, kids);
    std::size_t b = 0;
    if (!keys.empty()) {
      b = alloc.place(std::size_t{at.slot} + 1, keys);
      if (b + kByteKeys >= kEmptyCheck) throw Fault("keyword store too large to scan");
      const std::size_t first_pushed = stack.size();
      for (std::size_t j = 0; j < keys.size(); ++j) {
        const auto slot = static_cast<std::uint32_t>(b + keys[j]);
        record(slot);
        parent[slot] = at.slot;
        stack.push_back({kids[j], slot});
      }
      // Smallest key on top: its subtree is placed first, right after.
      std::reverse(stack.begin() + static_cast<std::ptrdiff_t>(first_pushed), stack.end());
    }
    base[at.slot] = static_cast<std::uint32_t>(b);
    if (at.slot != kRootSlot && trie.has_clean_name(at.node)) named[at.slot] = at.node;
  }
  pack_slots(trie, {std::move(alloc), std::move(base), std::move(parent), std::move(named)});
}

void ScanIndex::pack_slots(const Trie& trie, const Layout& layout) {
  const std::size_t size = array_size(layout.alloc, layout.base);
  slots_.assign(size, Slot{kEmptyCheck} << 32);
  slot_names_.assign(size, NameRef{0, 0});
  const std::size_t top = layout.alloc.top();
  for (std::size_t slot = 0; slot < top; ++slot) {
    if (!layout.alloc.used(slot)) continue;
    Slot v =
        layout.base[slot] | (Slot{slot == kRootSlot ? kEmptyCheck : layout.parent[slot]} << 32);
    if (layout.named[slot] != kNoNode) {
      v |= kKeywordBit;
      const std::string_view name = trie.clean_name(layout.named[slot]);
      // The store keeps its names below 4 GiB in total; so does this copy.
      slot_names_[slot] = {static_cast<std::uint32_t>(name_bytes_.size()),
                           static_cast<std::uint32_t>(name.size())};
      name_bytes_.append(name);
    }
    slots_[slot] = v;
  }
}

void ScanIndex::build_tables(const WordSet& words) {
  const std::uint32_t root_base = base_of(slots_[kRootSlot]);
  for (std::uint32_t b = 0; b < kByteKeys; ++b) {
    plain_.code[b] = static_cast<std::uint8_t>(b);
    plain_.word[b] = words.contains(b) ? 1 : 0;
    plain_.first[b] = check_of(slots_[root_base + b]) == kRootSlot ? 1 : 0;
  }
  for (std::uint32_t b = 0; b < kByteKeys; ++b) {
    const std::uint8_t folded = ascii_lower(static_cast<unsigned char>(b));
    fold_.code[b] = folded;
    fold_.word[b] = plain_.word[folded];
    fold_.first[b] = plain_.first[folded];
  }
  constexpr std::uint32_t kAscii = 0x80;
  auto ascii_alnum = [](std::uint32_t b) {
    return (b >= '0' && b <= '9') || (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z');
  };
  char_plain_ = plain_;
  char_fold_ = fold_;
  for (std::uint32_t b = 0; b < kByteKeys; ++b) {
    char_plain_.word[b] = b < kAscii && (plain_.word[b] || ascii_alnum(b));
    char_fold_.word[b] = b < kAscii && (fold_.word[b] || ascii_alnum(b));
  }
  set_word_ranges(plain_);
  set_word_ranges(fold_);
  set_word_ranges(char_plain_);
  set_word_ranges(char_fold_);
}

std::size_t ScanIndex::memory_bytes() const {
  return sizeof(*this) + vector_bytes(slots_) + vector_bytes(slot_names_) + name_bytes_.capacity() +
         vector_bytes(keyword_above_);
}

}  // namespace fernquill
