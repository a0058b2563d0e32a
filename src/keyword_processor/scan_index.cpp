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
    const std::uint8_t folded = (b >= 'A' && b <= 'Z') ? static_cast<std::uint8_t>(b + 32)
                                                       : static_cast<std::uint8_t>(b);
    fold_.code[b] = folded;
    fold_.word[b] = plain_.word[folded];
    fold_.first[b] = plain_.first[folded];
  }
}

void ScanIndex::build_nodes() {
  const Trie& trie = processor_.trie();
  std::vector<NodeId> origin{Trie::kRoot};
  nodes_.assign(1, Node{});
  for (std::size_t k = 0; k < origin.size(); ++k) {
    const NodeId t = origin[k];
    const auto first = static_cast<std::uint32_t>(origin.size());
    for (NodeId c = trie.first_child(t); c != kNoNode; c = trie.next_sibling(c)) {
      origin.push_back(c);
      Node child{};
      child.key = trie.key(c);
      nodes_.push_back(child);
    }
    Node& node = nodes_[k];
    node.child_begin = first;
    node.child_end = static_cast<std::uint32_t>(origin.size());
    node.name = kNoName;
    if (trie.has_clean_name(t)) {
      std::string_view name = trie.clean_name(t);
      node.name = static_cast<std::uint32_t>(names_.size());
      // Lengths beyond 32 bits only weaken the bounds derived from them.
      node.name_len = static_cast<std::uint32_t>(std::min<std::size_t>(name.size(), 0xFFFFFFFFu));
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
      node.height = std::max(node.height, child.height + 1);
      node.max_name = std::max(node.max_name, child.max_name);
    }
  }
}

void ScanIndex::build_double_array() {
  // Free slots form a doubly linked list so that the search for a base
  // visits only free slots. The array grows in blocks when nothing fits.
  std::vector<std::uint8_t> used;
  std::vector<std::int64_t> next_free, prev_free;
  std::int64_t head = -1, tail = -1;
  auto grow = [&](std::size_t size) {
    const std::size_t old = used.size();
    if (size <= old) return;
    used.resize(size, 0);
    next_free.resize(size, -1);
    prev_free.resize(size, -1);
    for (std::size_t s = old; s < size; ++s) {
      const auto id = static_cast<std::int64_t>(s);
      prev_free[s] = tail;
      if (tail >= 0) {
        next_free[static_cast<std::size_t>(tail)] = id;
      } else {
        head = id;
      }
      tail = id;
    }
  };
  auto take = [&](std::size_t s) {
    used[s] = 1;
    const std::int64_t p = prev_free[s], q = next_free[s];
    if (p >= 0) {
      next_free[static_cast<std::size_t>(p)] = q;
    } else {
      head = q;
    }
    if (q >= 0) {
      prev_free[static_cast<std::size_t>(q)] = p;
    } else {
      tail = p;
    }
  };

  const std::size_t count = nodes_.size();
  std::vector<std::uint32_t> slot_of(count, 0);
  std::vector<std::uint32_t> base(1, 0);
  std::vector<std::uint32_t> parent(1, kEmptyCheck);
  std::vector<std::uint32_t> name_of(1, kNoName);
  grow(512);
  take(kRootSlot);
  std::vector<std::uint32_t> keys, kids;
  // Breadth first from the root; only edges of a single byte can be taken by
  // a scan, so subtrees under larger keys are left out.
  std::vector<std::uint32_t> queue{0};
  for (std::size_t qi = 0; qi < queue.size(); ++qi) {
    const std::uint32_t k = queue[qi];
    const Node& node = nodes_[k];
    keys.clear();
    kids.clear();
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      if (nodes_[c].key > 0xFF) continue;
      keys.push_back(nodes_[c].key);
      kids.push_back(c);
    }
    std::uint32_t b = 0;
    if (!keys.empty()) {
      std::int64_t p = head;
      while (true) {
        if (p < 0) {
          const std::size_t old = used.size();
          grow(old + std::max<std::size_t>(old / 4, 1024));
          p = static_cast<std::int64_t>(old);
        }
        const auto slot = static_cast<std::size_t>(p);
        if (slot >= keys[0]) {
          const std::size_t cand = slot - keys[0];
          if (cand + 256 >= used.size()) grow(cand + 1024);
          bool fits = true;
          for (std::size_t j = 1; j < keys.size() && fits; ++j) fits = !used[cand + keys[j]];
          if (fits) {
            b = static_cast<std::uint32_t>(cand);
            break;
          }
        }
        p = next_free[slot];
      }
      if (used.size() >= kEmptyCheck) throw Fault("keyword store too large to scan");
      for (std::size_t j = 0; j < keys.size(); ++j) {
        const std::uint32_t s = b + keys[j];
        take(s);
        slot_of[kids[j]] = s;
        queue.push_back(kids[j]);
      }
    }
    const std::uint32_t me = slot_of[k];
    if (base.size() < used.size()) {
      base.resize(used.size(), 0);
      parent.resize(used.size(), kEmptyCheck);
      name_of.resize(used.size(), kNoName);
    }
    base[me] = b;
    name_of[me] = node.name;
    for (std::size_t j = 0; j < keys.size(); ++j) parent[b + keys[j]] = me;
  }
  // Every base plus any byte must stay inside the array.
  std::size_t size = used.size();
  for (std::size_t s = 0; s < used.size(); ++s) {
    if (used[s]) size = std::max<std::size_t>(size, std::size_t{base[s]} + 256);
  }
  slots_.assign(size, Slot{kEmptyCheck} << 32);
  slot_name_.assign(size, kNoName);
  for (std::size_t s = 0; s < used.size(); ++s) {
    if (!used[s]) continue;
    Slot v = base[s] | (Slot{s == kRootSlot ? kEmptyCheck : parent[s]} << 32);
    if (name_of[s] != kNoName && s != kRootSlot) v |= kKeywordBit;
    slots_[s] = v;
    slot_name_[s] = name_of[s];
  }
}

}  // namespace fernquill
