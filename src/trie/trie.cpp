#include "trie/trie.hpp"

#include <algorithm>
#include <new>
#include <optional>

#include "support/fault.hpp"
#include "text/utf8.hpp"

namespace fernquill {

Trie::Trie() { nodes_.push_back(fresh_node(0)); }

NodeId Trie::child(NodeId node, std::uint32_t key) const {
  for (NodeId c = nodes_[node].first_child; c != kNoNode; c = nodes_[c].next_sibling) {
    std::uint32_t k = nodes_[c].key;
    if (k == key) return c;
    if (k > key) break;  // siblings are sorted
  }
  return kNoNode;
}

void Trie::reserve_nodes(std::size_t count) {
  const std::size_t fresh = count - std::min(count, free_nodes_);
  // Ids are 32 bits and kNoNode is not one of them.
  if (fresh > std::size_t{kNoNode} - nodes_.size()) throw std::bad_alloc();
  const std::size_t need = nodes_.size() + fresh;
  if (need <= nodes_.capacity()) return;
  // Geometric, so a run of adds stays linear overall.
  nodes_.reserve(std::max(need, std::min<std::size_t>(kNoNode, nodes_.capacity() * 2)));
}

NodeId Trie::allocate_node(std::uint32_t key) noexcept {
  if (free_node_head_ != kNoNode) {
    NodeId id = free_node_head_;
    free_node_head_ = nodes_[id].next_sibling;
    --free_nodes_;
    nodes_[id] = fresh_node(key);
    return id;
  }
  // Room was reserved: push_back neither reallocates nor throws.
  NodeId id = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(fresh_node(key));
  return id;
}

NodeId Trie::child_or_insert(NodeId node, std::uint32_t key) {
  if (NodeId c = child(node, key); c != kNoNode) return c;
  reserve_nodes(1);
  NodeId prev = kNoNode;
  NodeId c = nodes_[node].first_child;
  while (c != kNoNode && nodes_[c].key < key) {
    prev = c;
    c = nodes_[c].next_sibling;
  }
  NodeId fresh = allocate_node(key);
  nodes_[fresh].next_sibling = c;
  if (prev == kNoNode) {
    nodes_[node].first_child = fresh;
  } else {
    nodes_[prev].next_sibling = fresh;
  }
  return fresh;
}

bool Trie::insert(std::string_view key, std::string_view name) {
  NodeId node = kRoot;
  std::size_t depth = 0;
  for (; depth < key.size(); ++depth) {
    const NodeId c = child(node, static_cast<unsigned char>(key[depth]));
    if (c == kNoNode) break;
    node = c;
  }
  const std::size_t missing = key.size() - depth;
  if (missing == 0 && has_clean_name(node) && clean_name(node) == name) return false;
  // Everything that can throw, before anything changes: the nodes first,
  // the name last (a reserve that succeeds may move the name buffer, which
  // is harmless only because nothing can fail after it).
  reserve_nodes(missing);
  const NodeId planned_for = missing == 0 ? node : kNoNode;
  NamePlan plan = plan_name(planned_for, name);
  for (; depth < key.size(); ++depth) {
    node = child_or_insert(node, static_cast<unsigned char>(key[depth]));
  }
  store_name(node, name, plan);
  return true;
}

bool Trie::erase(std::string_view key) {
  // The nodes that lose their last reason to exist once the name goes form
  // one chain: the path below the deepest ancestor that keeps a name or
  // another child (or is the root). Remember where it hangs, so no path
  // needs storing whatever the key's length.
  NodeId node = kRoot;
  NodeId anchor = kRoot;
  std::uint32_t anchor_key = key.empty() ? 0 : static_cast<unsigned char>(key[0]);
  for (std::size_t depth = 0; depth < key.size(); ++depth) {
    const std::uint32_t b = static_cast<unsigned char>(key[depth]);
    const NodeId c = child(node, b);
    if (c == kNoNode) return false;
    if (node == kRoot || has_clean_name(node) ||
        nodes_[nodes_[node].first_child].next_sibling != kNoNode) {
      anchor = node;
      anchor_key = b;
    }
    node = c;
  }
  if (!has_clean_name(node)) return false;
  const std::size_t size = nodes_[node].name_size;
  std::optional<std::string> compacted;
  if (sparse(dead_name_bytes_ + size, name_bytes_.size())) {
    compacted = reserve_compacted(name_bytes_.size() - dead_name_bytes_ - size);
  }
  drop_name(node, compacted);
  if (node != kRoot && !has_children(node)) {
    // Unlink the chain from the anchor; its nodes hold no names.
    NodeId prev = kNoNode;
    NodeId c = nodes_[anchor].first_child;
    while (nodes_[c].key != anchor_key) {
      prev = c;
      c = nodes_[c].next_sibling;
    }
    if (prev == kNoNode) {
      nodes_[anchor].first_child = nodes_[c].next_sibling;
    } else {
      nodes_[prev].next_sibling = nodes_[c].next_sibling;
    }
    free_subtree(c);
  }
  return true;
}

void Trie::free_subtree(NodeId top) noexcept {
  // A worklist threaded through next_sibling: taking a node off it puts its
  // children (already a sibling chain) in front of the rest.
  nodes_[top].next_sibling = kNoNode;
  NodeId work = top;
  while (work != kNoNode) {
    const NodeId n = work;
    work = nodes_[n].next_sibling;
    if (NodeId c = nodes_[n].first_child; c != kNoNode) {
      NodeId last = c;
      while (nodes_[last].next_sibling != kNoNode) last = nodes_[last].next_sibling;
      nodes_[last].next_sibling = work;
      work = c;
    }
    if (nodes_[n].name_size != kNoName) {
      dead_name_bytes_ += nodes_[n].name_size;
      --keyword_count_;
    }
    nodes_[n] = Node{0, kNoNode, free_node_head_, 0, kNoName};
    free_node_head_ = n;
    ++free_nodes_;
  }
}

std::string Trie::reserve_compacted(std::size_t live_bytes) const {
  std::string out;
  out.reserve(live_bytes);
  return out;
}

Trie::NamePlan Trie::plan_name(NodeId node, std::string_view name) {
  const bool had = node != kNoNode && has_clean_name(node);
  const std::size_t old = had ? nodes_[node].name_size : 0;
  if (had && name.size() <= old) return {NamePlan::kInPlace, {}};
  const std::size_t dead = dead_name_bytes_ + old;
  const std::size_t live = name_bytes_.size() - dead + name.size();
  if (name.size() >= kNoName || live > kMaxNameBytes) throw std::bad_alloc();
  if (sparse(dead, name_bytes_.size() + name.size())) {
    return {NamePlan::kCompact, reserve_compacted(live)};
  }
  const std::size_t need = name_bytes_.size() + name.size();
  if (need > kMaxNameBytes) throw std::bad_alloc();
  if (need > name_bytes_.capacity()) {
    name_bytes_.reserve(std::max(need, std::min(kMaxNameBytes, name_bytes_.capacity() * 2)));
  }
  return {NamePlan::kAppend, {}};
}

void Trie::store_name(NodeId node, std::string_view name, NamePlan& plan) noexcept {
  Node& n = nodes_[node];
  switch (plan.kind) {
    case NamePlan::kInPlace:
      name.copy(name_bytes_.data() + n.name_offset, name.size());
      dead_name_bytes_ += n.name_size - name.size();
      n.name_size = static_cast<std::uint32_t>(name.size());
      return;
    case NamePlan::kAppend:
      if (n.name_size == kNoName) {
        ++keyword_count_;
      } else {
        dead_name_bytes_ += n.name_size;
      }
      n.name_offset = static_cast<std::uint32_t>(name_bytes_.size());
      n.name_size = static_cast<std::uint32_t>(name.size());
      name_bytes_.append(name);  // within the reserved capacity
      return;
    case NamePlan::kCompact:
      if (n.name_size == kNoName) ++keyword_count_;
      compact_into(plan.compacted, node);
      n.name_offset = static_cast<std::uint32_t>(name_bytes_.size());
      n.name_size = static_cast<std::uint32_t>(name.size());
      name_bytes_.append(name);
      return;
  }
}

void Trie::drop_name(NodeId node, std::optional<std::string>& compacted) noexcept {
  Node& n = nodes_[node];
  dead_name_bytes_ += n.name_size;
  n.name_size = kNoName;
  --keyword_count_;
  if (compacted) compact_into(*compacted, kNoNode);
}

void Trie::compact_into(std::string& into, NodeId skip) noexcept {
  into.clear();
  for (NodeId id = 0; id < nodes_.size(); ++id) {
    Node& n = nodes_[id];
    if (n.name_size == kNoName || id == skip) continue;
    const auto offset = static_cast<std::uint32_t>(into.size());
    into.append(name_bytes_, n.name_offset, n.name_size);  // within the reserved capacity
    n.name_offset = offset;
  }
  name_bytes_.swap(into);
  into = std::string();
  dead_name_bytes_ = 0;
}

void Trie::replace_clean_name(NodeId node, std::string_view name) {
  NamePlan plan = plan_name(node, name);
  store_name(node, name, plan);
}

std::string Trie::check_invariants() const {
  std::vector<std::uint8_t> seen(nodes_.size(), 0);
  std::size_t live_names = 0, live_bytes = 0, reachable = 0;
  std::vector<NodeId> stack{kRoot};
  while (!stack.empty()) {
    const NodeId id = stack.back();
    stack.pop_back();
    if (id >= nodes_.size() || seen[id]) return "a node is reachable twice or out of range";
    seen[id] = 1;
    ++reachable;
    const Node& n = nodes_[id];
    if (n.name_size != kNoName) {
      if (std::size_t{n.name_offset} + n.name_size > name_bytes_.size()) {
        return "a clean name lies outside the name buffer";
      }
      ++live_names;
      live_bytes += n.name_size;
    }
    std::uint32_t last_key = 0;
    for (NodeId c = n.first_child; c != kNoNode; c = nodes_[c].next_sibling) {
      if (c >= nodes_.size()) return "a child id is out of range";
      if (c != n.first_child && nodes_[c].key <= last_key) return "siblings are out of key order";
      last_key = nodes_[c].key;
      stack.push_back(c);
    }
  }
  std::size_t free_count = 0;
  for (NodeId id = free_node_head_; id != kNoNode; id = nodes_[id].next_sibling) {
    if (id >= nodes_.size() || seen[id]) return "the free list meets a live node or loops";
    if (nodes_[id].name_size != kNoName) return "a free node has a clean name";
    seen[id] = 1;
    ++free_count;
  }
  if (free_count != free_nodes_) return "the free count is wrong";
  if (reachable + free_count != nodes_.size()) return "some nodes are neither reachable nor free";
  if (live_names != keyword_count_) return "the keyword count is wrong";
  if (live_bytes + dead_name_bytes_ != name_bytes_.size()) return "the dead name bytes are wrong";
  return {};
}

void Trie::start_listing(std::size_t nodes, std::size_t name_bytes) {
  if (nodes_.size() != 1 || has_children(kRoot) || has_clean_name(kRoot)) {
    throw Fault("Trie::start_listing: the store is not empty");
  }
  if (nodes == 0 || nodes > kNoNode || name_bytes > kMaxNameBytes) throw std::bad_alloc();
  // Sized exactly: a vector grown by resize alone may keep spare room.
  decltype(nodes_) listed;
  listed.reserve(nodes);
  listed.resize(nodes);  // unwritten: list_node writes each node once
  listed[kRoot] = fresh_node(0);
  name_bytes_.reserve(name_bytes);
  nodes_.swap(listed);
}

void Trie::listing_overrun() { throw Fault("Trie::list_node: a node beyond the listing's size"); }

void Trie::sort_children(NodeId node, std::vector<std::pair<std::uint32_t, NodeId>>& scratch) {
  scratch.clear();
  for (NodeId c = nodes_[node].first_child; c != kNoNode; c = nodes_[c].next_sibling)
    scratch.emplace_back(nodes_[c].key, c);
  // Stable, so equal keys stay in the order they were added.
  std::stable_sort(scratch.begin(), scratch.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < scratch.size(); ++i) {
    if (i + 1 < scratch.size() && scratch[i + 1].first == scratch[i].first) {
      free_subtree(scratch[i].second);
      continue;
    }
    scratch[kept++] = scratch[i];
  }
  scratch.resize(kept);
  set_children(node, scratch);
}

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
