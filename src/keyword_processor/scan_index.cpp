#include "keyword_processor/scan_index.hpp"

#include <algorithm>

#include "keyword_processor/keyword_processor.hpp"
#include "support/fault.hpp"

namespace fernquill {

ScanIndex::ScanIndex(const KeywordProcessor& processor)
    : processor_(processor),
      case_sensitive_(processor.case_sensitive()),
      allow_overlaps_(processor.allow_overlaps()) {
  build_nodes();
  build_double_array();
  for (std::uint32_t b = 0; b < 256; ++b) {
    plain_.code[b] = static_cast<std::uint8_t>(b);
    plain_.word[b] = processor.word_set().contains(b) ? 1 : 0;
    const std::uint32_t t = base_of(slots_[kRootSlot]) + b;
    plain_.first[b] = check_of(slots_[t]) == kRootSlot ? 1 : 0;
  }
  for (std::uint32_t b = 0; b < 256; ++b) {
    const std::uint8_t folded =
        (b >= 'A' && b <= 'Z') ? static_cast<std::uint8_t>(b + 32) : static_cast<std::uint8_t>(b);
    fold_.code[b] = folded;
    fold_.word[b] = plain_.word[folded];
    fold_.first[b] = plain_.first[folded];
  }
  set_word_ranges(plain_);
  set_word_ranges(fold_);
}

void ScanIndex::set_word_ranges(ByteTables& tables) {
  tables.word_ranges = 0;
  for (std::uint32_t b = 0; b < 256;) {
    if (!tables.word[b]) {
      ++b;
      continue;
    }
    std::uint32_t e = b;
    while (e + 1 < 256 && tables.word[e + 1]) ++e;
    if (tables.word_ranges == kMaxWordRanges) {
      tables.word_ranges = kTooManyRanges;
      return;
    }
    tables.range_lo[tables.word_ranges] = static_cast<std::uint8_t>(b);
    tables.range_span[tables.word_ranges] = static_cast<std::uint8_t>(e - b);
    ++tables.word_ranges;
    b = e + 1;
  }
}

void ScanIndex::build_nodes() {
  const Trie& trie = processor_.trie();
  std::vector<NodeId> origin{Trie::kRoot};
  nodes_.assign(1, Node{});
  keys_.assign(1, 0);
  for (std::size_t k = 0; k < origin.size(); ++k) {
    const NodeId t = origin[k];
    const auto first = static_cast<std::uint32_t>(origin.size());
    for (NodeId c = trie.first_child(t); c != kNoNode; c = trie.next_sibling(c)) {
      // Scans read text one byte per edge, so a key above 255 (only a loaded
      // state has one) is never taken, also not by an edit of the
      // approximate search: such subtrees are left out of the copy.
      if (trie.key(c) > 0xFF) continue;
      origin.push_back(c);
      Node child{};
      child.slot = kNoSlot;
      nodes_.push_back(child);
      keys_.push_back(trie.key(c) > 0xFF ? 0xFFFF : static_cast<std::uint16_t>(trie.key(c)));
    }
    Node& node = nodes_[k];
    node.child_begin = first;
    node.child_end = static_cast<std::uint32_t>(origin.size());
    node.name = kNoName;
    if (trie.has_clean_name(t)) {
      std::string_view name = trie.clean_name(t);
      node.name = static_cast<std::uint32_t>(names_.size());
      node.name_len = static_cast<std::uint32_t>(std::min<std::size_t>(name.size(), kSaturated));
      names_.push_back(name);
    }
  }
  // Children come after their parent, so one backward pass sees every
  // subtree complete.
  for (std::size_t k = nodes_.size(); k-- > 0;) {
    Node& node = nodes_[k];
    node.height = 0;
    node.named_below = node.name != kNoName ? 1 : 0;
    node.max_name = node.name != kNoName ? node.name_len : 0;
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      const Node& child = nodes_[c];
      if (!child.named_below) continue;
      node.named_below = 1;
      node.height =
          std::max(node.height, child.height == kSaturated ? kSaturated : child.height + 1);
      node.max_name = std::max(node.max_name, child.max_name);
    }
  }
}

void ScanIndex::build_double_array() {
  // Slots are placed depth first, each node's children at the first free
  // positions after the node's own slot. A chain of single children (the
  // tail of most keywords) then lies in consecutive slots, so a walk touches
  // few cache lines. Free slots are found through a bitmap of used ones.
  std::vector<std::uint64_t> used;
  std::size_t capacity = 0;
  auto ensure = [&](std::size_t size) {
    if (size <= capacity) return;
    capacity = std::max(size, capacity + capacity / 2);
    used.resize((capacity + 63) / 64, 0);
  };
  auto is_used = [&](std::size_t slot) { return (used[slot >> 6] >> (slot & 63)) & 1; };
  auto next_free = [&](std::size_t slot) {
    ensure(slot + 1);
    std::size_t w = slot >> 6;
    std::uint64_t bits = ~used[w] & (~std::uint64_t{0} << (slot & 63));
    while (bits == 0) {
      if (++w == used.size()) ensure(capacity + 64);
      bits = ~used[w];
    }
    return (w << 6) + static_cast<std::size_t>(__builtin_ctzll(bits));
  };

  const std::size_t count = nodes_.size();
  std::vector<std::uint32_t> slot_of(count, 0);
  std::vector<std::uint32_t> base, parent, name_of;
  auto record = [&](std::size_t slot) {
    if (base.size() <= slot) {
      const std::size_t size = std::max(slot + 1, base.size() + base.size() / 2);
      base.resize(size, 0);
      parent.resize(size, kEmptyCheck);
      name_of.resize(size, kNoName);
    }
  };
  ensure(1024);
  used[0] |= 1;  // the root
  record(kRootSlot);
  std::size_t top = 1;  // one past the highest used slot
  std::vector<std::uint32_t> keys, kids, stack{0};
  while (!stack.empty()) {
    const std::uint32_t k = stack.back();
    stack.pop_back();
    const Node& node = nodes_[k];
    const std::uint32_t me = slot_of[k];
    // Only edges of a single byte can be taken by a scan; subtrees under
    // larger keys (only a loaded state has them) are left out.
    keys.clear();
    kids.clear();
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      if (keys_[c] > 0xFF) continue;
      keys.push_back(keys_[c]);
      kids.push_back(c);
    }
    std::uint32_t b = 0;
    if (!keys.empty()) {
      std::size_t f = next_free(std::max<std::size_t>(me + 1, keys[0]));
      while (true) {
        const std::size_t cand = f - keys[0];
        ensure(cand + 256);
        bool fits = true;
        for (std::size_t j = 1; j < keys.size() && fits; ++j) fits = !is_used(cand + keys[j]);
        if (fits) {
          b = static_cast<std::uint32_t>(cand);
          break;
        }
        f = next_free(f + 1);
      }
      if (std::size_t{b} + 256 >= kEmptyCheck) throw Fault("keyword store too large to scan");
      for (std::size_t j = 0; j < keys.size(); ++j) {
        const std::uint32_t slot = b + keys[j];
        used[slot >> 6] |= std::uint64_t{1} << (slot & 63);
        record(slot);
        parent[slot] = me;
        slot_of[kids[j]] = slot;
        top = std::max<std::size_t>(top, slot + 1);
      }
      // Smallest key on top: its subtree is placed first, right after.
      for (std::size_t j = kids.size(); j-- > 0;) stack.push_back(kids[j]);
    }
    base[me] = b;
    name_of[me] = node.name;
  }
  // Every base plus any byte must stay inside the array.
  std::size_t size = top;
  for (std::size_t slot = 0; slot < top; ++slot) {
    if (is_used(slot)) size = std::max<std::size_t>(size, std::size_t{base[slot]} + 256);
  }
  for (std::size_t k = 0; k < count; ++k) {
    // Nodes under a key above 255 keep kNoSlot: no scan reaches them exactly.
    if (k == 0 || slot_of[k] != 0) nodes_[k].slot = slot_of[k];
  }
  slot_node_.assign(size, 0);
  for (std::size_t k = 0; k < count; ++k) {
    if (nodes_[k].slot != kNoSlot) slot_node_[nodes_[k].slot] = static_cast<std::uint32_t>(k);
  }
  slots_.assign(size, Slot{kEmptyCheck} << 32);
  slot_names_.assign(size, std::string_view());
  for (std::size_t slot = 0; slot < top; ++slot) {
    if (!is_used(slot)) continue;
    Slot v = base[slot] | (Slot{slot == kRootSlot ? kEmptyCheck : parent[slot]} << 32);
    if (name_of[slot] != kNoName && slot != kRootSlot) {
      v |= kKeywordBit;
      slot_names_[slot] = names_[name_of[slot]];
    }
    slots_[slot] = v;
  }
}

}  // namespace fernquill
