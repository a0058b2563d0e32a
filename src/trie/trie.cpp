#include "trie/trie.hpp"

namespace fernquill {

Trie::Trie() { nodes_.emplace_back(); }

NodeId Trie::child(NodeId node, std::uint32_t key) const {
  for (NodeId c = nodes_[node].first_child; c != kNoNode; c = nodes_[c].next_sibling) {
    std::uint32_t k = nodes_[c].key;
    if (k == key) return c;
    if (k > key) break;  // siblings are sorted
  }
  return kNoNode;
}

std::size_t Trie::child_count(NodeId node) const {
  std::size_t n = 0;
  for (NodeId c = nodes_[node].first_child; c != kNoNode; c = nodes_[c].next_sibling) ++n;
  return n;
}

NodeId Trie::allocate_node(std::uint32_t key) {
  ++generation_;
  if (free_node_head_ != kNoNode) {
    NodeId id = free_node_head_;
    free_node_head_ = nodes_[id].next_sibling;
    --free_nodes_;
    nodes_[id] = Node{key, kNoNode, kNoNode, kNoName};
    return id;
  }
  NodeId id = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(Node{key, kNoNode, kNoNode, kNoName});
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
  ++generation_;
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
    nodes_[n] = Node{0, kNoNode, free_node_head_, kNoName};
    free_node_head_ = n;
    ++free_nodes_;
  }
}

std::uint32_t Trie::allocate_name(std::string name) {
  if (!free_names_.empty()) {
    std::uint32_t id = free_names_.back();
    free_names_.pop_back();
    names_[id] = std::move(name);
    return id;
  }
  names_.push_back(std::move(name));
  return static_cast<std::uint32_t>(names_.size() - 1);
}

void Trie::set_clean_name(NodeId node, std::string name) {
  ++generation_;
  std::uint32_t& slot = nodes_[node].name;
  if (slot != kNoName) {
    names_[slot] = std::move(name);
    return;
  }
  slot = allocate_name(std::move(name));
  ++keyword_count_;
}

bool Trie::clear_clean_name(NodeId node) {
  std::uint32_t& slot = nodes_[node].name;
  if (slot == kNoName) return false;
  ++generation_;
  names_[slot] = std::string();  // give the memory back now
  free_names_.push_back(slot);
  slot = kNoName;
  --keyword_count_;
  return true;
}

NodeId Trie::new_detached_node() { return allocate_node(0); }

void Trie::set_children(NodeId node,
                        const std::vector<std::pair<std::uint32_t, NodeId>>& children) {
  ++generation_;
  NodeId* link = &nodes_[node].first_child;
  for (const auto& [key, id] : children) {
    nodes_[id].key = key;
    *link = id;
    link = &nodes_[id].next_sibling;
  }
  *link = kNoNode;
}

std::size_t Trie::memory_bytes() const {
  std::size_t bytes = nodes_.capacity() * sizeof(Node) + names_.capacity() * sizeof(std::string) +
                      free_names_.capacity() * sizeof(std::uint32_t);
  for (const std::string& s : names_) {
    if (s.capacity() > 15) bytes += s.capacity() + 1;  // beyond the small-string buffer
  }
  return bytes;
}

void Trie::swap(Trie& other) noexcept {
  nodes_.swap(other.nodes_);
  names_.swap(other.names_);
  std::swap(free_node_head_, other.free_node_head_);
  std::swap(free_nodes_, other.free_nodes_);
  free_names_.swap(other.free_names_);
  std::swap(keyword_count_, other.keyword_count_);
  std::swap(generation_, other.generation_);
  ++generation_;
  ++other.generation_;
}

void append_key_utf8(std::string& out, std::uint32_t key) {
  if (key < 0x100) {
    out.push_back(static_cast<char>(key));
  } else if (key < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (key >> 6)));
    out.push_back(static_cast<char>(0x80 | (key & 0x3F)));
  } else if (key < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (key >> 12)));
    out.push_back(static_cast<char>(0x80 | ((key >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (key & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (key >> 18)));
    out.push_back(static_cast<char>(0x80 | ((key >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((key >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (key & 0x3F)));
  }
}

}  // namespace fernquill
