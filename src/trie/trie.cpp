#include "trie/trie.hpp"

#include <new>

#include "text/utf8.hpp"

namespace fernquill {
namespace {

// Dead name bytes below this are never worth a compaction.
constexpr std::size_t kMinCompaction = 4096;

}  // namespace

Trie::Trie() { nodes_.emplace_back(); }

NodeId Trie::child(NodeId node, std::uint32_t key) const {
  for (NodeId c = nodes_[node].first_child; c != kNoNode; c = nodes_[c].next_sibling) {
    std::uint32_t k = nodes_[c].key;
    if (k == key) return c;
    if (k > key) break;  // siblings are sorted
  }
  return kNoNode;
}

NodeId Trie::allocate_node(std::uint32_t key) {
  if (free_node_head_ != kNoNode) {
    NodeId id = free_node_head_;
    free_node_head_ = nodes_[id].next_sibling;
    --free_nodes_;
    nodes_[id] = Node{key, kNoNode, kNoNode, 0, kNoName};
    return id;
  }
  NodeId id = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(Node{key, kNoNode, kNoNode, 0, kNoName});
  return id;
}

NodeId Trie::child_or_insert(NodeId node, std::uint32_t key) {
  NodeId prev = kNoNode;
  NodeId c = nodes_[node].first_child;
  while (c != kNoNode && nodes_[c].key < key) {
    prev = c;
    c = nodes_[c].next_sibling;
  }
  if (c != kNoNode && nodes_[c].key == key) return c;
  NodeId fresh = allocate_node(key);  // may reallocate nodes_: index only afterwards
  nodes_[fresh].next_sibling = c;
  if (prev == kNoNode) {
    nodes_[node].first_child = fresh;
  } else {
    nodes_[prev].next_sibling = fresh;
  }
  return fresh;
}

void Trie::remove_child(NodeId node, std::uint32_t key) {
  NodeId prev = kNoNode;
  for (NodeId c = nodes_[node].first_child; c != kNoNode; prev = c, c = nodes_[c].next_sibling) {
    if (nodes_[c].key != key) continue;
    if (prev == kNoNode) {
      nodes_[node].first_child = nodes_[c].next_sibling;
    } else {
      nodes_[prev].next_sibling = nodes_[c].next_sibling;
    }
    free_subtree(c);
    return;
  }
}

void Trie::free_subtree(NodeId top) {
  // The freed nodes are chained through next_sibling, so the subtree is
  // walked with an explicit stack of node ids rather than recursion.
  std::vector<NodeId> stack{top};
  while (!stack.empty()) {
    NodeId n = stack.back();
    stack.pop_back();
    for (NodeId c = nodes_[n].first_child; c != kNoNode; c = nodes_[c].next_sibling) {
      stack.push_back(c);
    }
    clear_clean_name(n);
    nodes_[n] = Node{0, kNoNode, free_node_head_, 0, kNoName};
    free_node_head_ = n;
    ++free_nodes_;
  }
}

void Trie::set_clean_name(NodeId node, std::string_view name) {
  Node& n = nodes_[node];
  if (n.name_size != kNoName && name.size() <= n.name_size) {
    // Fits where the old name was.
    name.copy(name_bytes_.data() + n.name_offset, name.size());
    dead_name_bytes_ += n.name_size - name.size();
    n.name_size = static_cast<std::uint32_t>(name.size());
    return;
  }
  // Offsets and sizes are 32-bit: a store beyond that is out of memory.
  if (name.size() >= kNoName || name_bytes_.size() + name.size() > 0xFFFFFFFFu) {
    throw std::bad_alloc();
  }
  if (n.name_size == kNoName) {
    ++keyword_count_;
  } else {
    dead_name_bytes_ += n.name_size;
  }
  n.name_offset = static_cast<std::uint32_t>(name_bytes_.size());
  n.name_size = static_cast<std::uint32_t>(name.size());
  name_bytes_.append(name);
  compact_names_if_sparse();
}

bool Trie::clear_clean_name(NodeId node) {
  Node& n = nodes_[node];
  if (n.name_size == kNoName) return false;
  dead_name_bytes_ += n.name_size;
  n.name_size = kNoName;
  --keyword_count_;
  compact_names_if_sparse();
  return true;
}

void Trie::compact_names_if_sparse() {
  if (dead_name_bytes_ < kMinCompaction || dead_name_bytes_ * 2 < name_bytes_.size()) return;
  std::string live;
  live.reserve(name_bytes_.size() - dead_name_bytes_);
  for (Node& n : nodes_) {
    if (n.name_size == kNoName) continue;
    std::uint32_t offset = static_cast<std::uint32_t>(live.size());
    live.append(name_bytes_, n.name_offset, n.name_size);
    n.name_offset = offset;
  }
  name_bytes_.swap(live);
  dead_name_bytes_ = 0;
}

NodeId Trie::new_detached_node() { return allocate_node(0); }

void Trie::set_children(NodeId node,
                        const std::vector<std::pair<std::uint32_t, NodeId>>& children) {
  NodeId* link = &nodes_[node].first_child;
  for (const auto& [key, id] : children) {
    nodes_[id].key = key;
    *link = id;
    link = &nodes_[id].next_sibling;
  }
  *link = kNoNode;
}

std::size_t Trie::memory_bytes() const {
  return nodes_.capacity() * sizeof(Node) + name_bytes_.capacity();
}

void Trie::swap(Trie& other) noexcept {
  nodes_.swap(other.nodes_);
  name_bytes_.swap(other.name_bytes_);
  std::swap(dead_name_bytes_, other.dead_name_bytes_);
  std::swap(free_node_head_, other.free_node_head_);
  std::swap(free_nodes_, other.free_nodes_);
  std::swap(keyword_count_, other.keyword_count_);
}

void append_key_utf8(std::string& out, std::uint32_t key) {
  if (key <= kMaxByteKey) {
    out.push_back(static_cast<char>(key));
  } else {
    utf8::append(out, key);
  }
}

}  // namespace fernquill
