#include "approx/approx_index.hpp"

#include <algorithm>

#include "support/fault.hpp"
#include "support/memory_size.hpp"

namespace fernquill {
namespace {

constexpr std::size_t kBitsPerWord = 64;

}  // namespace

ApproxIndex::ApproxIndex(const Trie& trie, const ScanIndex& exact) : exact_(exact) {
  build_nodes(trie);
  build_bounds();
  map_slots();
  build_search_nodes();
}

void ApproxIndex::build_nodes(const Trie& trie) {
  std::vector<NodeId> origin{Trie::kRoot};
  nodes_.assign(1, Node{});
  keys_.assign(1, 0);
  for (std::size_t k = 0; k < origin.size(); ++k) {
    const NodeId t = origin[k];
    const auto first = static_cast<std::uint32_t>(origin.size());
    for (NodeId c = trie.first_child(t); c != kNoNode; c = trie.next_sibling(c)) {
      // Nodes under a key above 255 never take part in matching.
      if (trie.key(c) > kMaxByteKey) continue;
      origin.push_back(c);
      nodes_.push_back(Node{});
      keys_.push_back(static_cast<std::uint16_t>(trie.key(c)));
    }
    Node& node = nodes_[k];
    node.slot = kNoSlot;
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
}

void ApproxIndex::build_bounds() {
  // Children come after their parent, so one backward pass sees every
  // subtree complete.
  nearest_.assign(nodes_.size(), kSaturatedNear);
  for (std::size_t k = nodes_.size(); k-- > 0;) {
    Node& node = nodes_[k];
    if (node.name != kNoName) nearest_[k] = 0;
    node.height = 0;
    node.named_below = node.name != kNoName ? 1 : 0;
    node.max_name = node.name != kNoName ? node.name_len : 0;
    node.child_bytes = 0;
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      node.child_bytes |= std::uint64_t{1} << (keys_[c] % kBitsPerWord);
      const Node& child = nodes_[c];
      if (!child.named_below) continue;
      node.named_below = 1;
      // Saturated, the child's bound stays saturated: a lower bound still.
      if (nearest_[c] < kSaturatedNear) {
        nearest_[k] = std::min<std::uint8_t>(nearest_[k], nearest_[c] + 1);
      }
      node.height =
          std::max(node.height, child.height == kSaturated ? kSaturated : child.height + 1);
      node.max_name = std::max(node.max_name, child.max_name);
    }
    if (node.named_below)
      farthest_nearest_ = std::max<std::uint32_t>(farthest_nearest_, nearest_[k]);
  }
}

void ApproxIndex::map_slots() {
  // The double array holds exactly the nodes reached from the root through
  // byte keys, which are all the nodes copied, each at its parent's base
  // plus its key.
  const ScanIndex::Slot* da = exact_.slots();
  nodes_[0].slot = ScanIndex::kRootSlot;
  slot_node_.assign(exact_.slot_count(), 0);
  for (std::size_t k = 0; k < nodes_.size(); ++k) {
    const Node& node = nodes_[k];
    slot_node_[node.slot] = static_cast<std::uint32_t>(k);
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      nodes_[c].slot = ScanIndex::base_of(da[node.slot]) + keys_[c];
    }
  }
}

void ApproxIndex::build_search_nodes() {
  using SN = SearchNode;
  // Child indices share their word with two flags.
  if (nodes_.size() > SN::kChildMask) throw Fault("keyword store too large to scan");
  auto narrow = [](std::uint32_t v) {
    return static_cast<std::uint8_t>(std::min<std::uint32_t>(v, SN::kUnbounded));
  };
  search_nodes_.resize(nodes_.size() + 1);
  for (std::size_t k = 0; k < nodes_.size(); ++k) {
    const Node& node = nodes_[k];
    std::uint32_t flags = node.name != kNoName ? SN::kHasName : 0;
    if (node.named_below) flags |= SN::kNamedBelow;
    const std::uint8_t height = narrow(node.height), max_name = narrow(node.max_name);
    const bool unbounded = height == SN::kUnbounded || max_name == SN::kUnbounded;
    search_nodes_[k] = {node.child_bytes,
                        node.child_begin | flags,
                        height,
                        max_name,
                        static_cast<std::uint8_t>(keys_[k]),
                        unbounded ? SN::kUnboundedBelow : std::uint8_t{0}};
  }
  search_nodes_.back() = {0, static_cast<std::uint32_t>(nodes_.size()), 0, 0, 0, 0};
  rank_children();
}

void ApproxIndex::rank_children() {
  for (std::size_t k = 0; k < nodes_.size(); ++k) {
    const Node& node = nodes_[k];
    bool rising = true;
    for (std::uint32_t c = node.child_begin; c + 1 < node.child_end && rising; ++c) {
      rising = keys_[c] % kBitsPerWord < keys_[c + 1] % kBitsPerWord;
    }
    if (rising) search_nodes_[k].flags |= SearchNode::kRanked;
  }
}

std::size_t ApproxIndex::memory_bytes() const {
  return sizeof(*this) + vector_bytes(names_) + vector_bytes(nodes_) + vector_bytes(keys_) +
         vector_bytes(slot_node_) + vector_bytes(search_nodes_) + vector_bytes(nearest_);
}

}  // namespace fernquill
