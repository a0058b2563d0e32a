// The keyword store: a byte trie held in one arena.
//
// Nodes live in a single vector and refer to each other by index, so a store
// of any depth is built, walked and destroyed without recursion and without a
// heap allocation per node. Children of a node form a singly linked sibling
// list kept in ascending key order; that order is the store's iteration order
// everywhere (listing, pickling, the approximate search).
//
// Every change is all or nothing: it first reserves whatever it may need
// (nodes, name bytes, a compacted name buffer), which is the only step that
// can throw, and then changes the store with operations that cannot. A
// change that throws leaves the store exactly as it was, its name buffer
// included, so views of clean names stay valid.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/default_init_allocator.hpp"

namespace fernquill {

using NodeId = std::uint32_t;
inline constexpr NodeId kNoNode = 0xFFFFFFFFu;
// Keys up to this are byte values, the only keys a walk over text can take;
// larger ones come only from a loaded state.
inline constexpr std::uint32_t kMaxByteKey = 0xFF;
inline constexpr std::size_t kByteKeys = kMaxByteKey + 1;

class Trie {
 public:
  static constexpr NodeId kRoot = 0;

  Trie();

  // Stores `name` as the clean name at the end of the path `key` (one edge
  // per byte), adding the missing nodes. Returns false when that exact name
  // was there already (nothing changed). `name` must not view this store's
  // own names.
  bool insert(std::string_view key, std::string_view name);
  // Removes the clean name at the end of `key` and prunes the nodes left
  // with neither a name nor children. Returns false when there was none.
  bool erase(std::string_view key);

  // Child of `node` under `key`, or kNoNode.
  NodeId child(NodeId node, std::uint32_t key) const;
  // Child under `key`, inserted empty (in key order) when absent.
  NodeId child_or_insert(NodeId node, std::uint32_t key);

  bool has_children(NodeId node) const { return nodes_[node].first_child != kNoNode; }
  NodeId first_child(NodeId node) const { return nodes_[node].first_child; }
  NodeId next_sibling(NodeId node) const { return nodes_[node].next_sibling; }
  std::uint32_t key(NodeId node) const { return nodes_[node].key; }

  bool has_clean_name(NodeId node) const { return nodes_[node].name_size != kNoName; }
  // Valid until the next change of the store.
  std::string_view clean_name(NodeId node) const {
    return {name_bytes_.data() + nodes_[node].name_offset, nodes_[node].name_size};
  }
  // `name` is copied; it must not view this store's own names.
  void set_clean_name(NodeId node, std::string_view name) {
    // A first name that fits the room reserve() made is appended in place.
    if (!has_clean_name(node) && name.size() <= name_bytes_.capacity() - name_bytes_.size() &&
        name_bytes_.size() + name.size() < kMaxNameBytes) [[likely]] {
      nodes_[node].name_offset = static_cast<std::uint32_t>(name_bytes_.size());
      nodes_[node].name_size = static_cast<std::uint32_t>(name.size());
      name_bytes_.append(name);
      ++keyword_count_;
      return;
    }
    replace_clean_name(node, name);
  }

  // Building from a depth-first listing whose size is known (a loaded
  // state), into a store that holds only its root. start_listing makes
  // exactly `nodes` nodes (the root included), numbered 0 to nodes - 1 in
  // listing order, and exact room for `name_bytes` bytes of clean names, so
  // that the store neither regrows nor holds spare room. Then every other
  // node is placed once with list_node, parents before children (until
  // then a node is unwritten memory): under `parent`, after `previous`
  // (kNoNode: as the first child), whatever its key; sort_children then
  // restores key order where the keys came out of it, a later child
  // replacing an earlier one of the same key (the earlier subtree is freed).
  // `scratch` is working storage.
  void start_listing(std::size_t nodes, std::size_t name_bytes);
  void list_node(NodeId id, NodeId parent, NodeId previous, std::uint32_t key) {
    if (id == kRoot || id >= nodes_.size()) [[unlikely]]
      listing_overrun();
    nodes_[id] = fresh_node(key);
    (previous == kNoNode ? nodes_[parent].first_child : nodes_[previous].next_sibling) = id;
  }
  void sort_children(NodeId node, std::vector<std::pair<std::uint32_t, NodeId>>& scratch);
  // Replaces the children of `node` (which must have none) by `children`,
  // which must be sorted by key with unique keys.
  void set_children(NodeId node, const std::vector<std::pair<std::uint32_t, NodeId>>& children);

  // Number of nodes that carry a clean name (the stored keywords).
  std::size_t keyword_count() const { return keyword_count_; }
  // Number of live nodes, the root included.
  std::size_t node_count() const { return nodes_.size() - free_nodes_; }
  // Nodes the arena has room for, live, free or not yet used.
  std::size_t node_slots() const { return nodes_.capacity(); }
  // Bytes held by the arena and the names.
  std::size_t memory_bytes() const;
  // Empty when the internal bookkeeping agrees with the nodes (every node
  // either reachable or free, names inside the buffer, counts exact);
  // otherwise what disagrees. For tests and fuzzers.
  std::string check_invariants() const;

  // Calls f(path, clean_name) for every stored keyword, depth first in key
  // order. `path` holds the key bytes from the root (keys above 255, which
  // only a loaded state can hold, appear as their UTF-8 encoding).
  template <class F>
  void for_each_keyword(F&& f) const;

  void swap(Trie& other) noexcept;

 private:
  static constexpr std::uint32_t kNoName = 0xFFFFFFFFu;
  // Names are located by 32-bit offsets and sizes; a buffer beyond this
  // counts as exhausted memory.
  static constexpr std::size_t kMaxNameBytes = 0xFFFFFFFFu;
  static constexpr std::size_t kCompactMinDead = 4096;
  // A clean name is a slice of name_bytes_; name_size is kNoName on nodes
  // without one (free nodes included).
  // Trivial, so that start_listing can size the arena without writing it.
  struct Node {
    std::uint32_t key;
    NodeId first_child;
    NodeId next_sibling;
    std::uint32_t name_offset;
    std::uint32_t name_size;
  };
  static constexpr Node fresh_node(std::uint32_t key) {
    return {key, kNoNode, kNoNode, 0, kNoName};
  }

  // How a new clean name will be stored, decided (and its memory reserved)
  // before the store changes.
  struct NamePlan {
    enum Kind { kInPlace, kAppend, kCompact } kind;
    std::string compacted;  // kCompact: empty, with room for every live name
  };

  // Makes room for `count` more nodes so that allocate_node cannot throw.
  void reserve_nodes(std::size_t count);
  [[noreturn]] static void listing_overrun();
  void replace_clean_name(NodeId node, std::string_view name);
  NodeId allocate_node(std::uint32_t key) noexcept;
  // Frees a subtree without allocating: the nodes still to free are chained
  // through their next_sibling links.
  void free_subtree(NodeId node) noexcept;
  // The name bytes are compacted once the dead ones (of replaced and
  // removed names) are the larger part, so the buffer stays within twice
  // the live names.
  static bool sparse(std::size_t dead, std::size_t size) {
    return dead >= kCompactMinDead && dead * 2 >= size;
  }
  // Reserves what storing `name` at `node` needs.
  NamePlan plan_name(NodeId node, std::string_view name);
  void store_name(NodeId node, std::string_view name, NamePlan& plan) noexcept;
  // Removes the name of `node`, compacting into `compacted` when given
  // (reserved by the caller for every other live name).
  void drop_name(NodeId node, std::optional<std::string>& compacted) noexcept;
  // Moves every live name except the one of `skip` into `into` (reserved),
  // back to back, and makes it the buffer.
  void compact_into(std::string& into, NodeId skip) noexcept;
  std::string reserve_compacted(std::size_t live_bytes) const;

  std::vector<Node, DefaultInitAllocator<Node>> nodes_;
  std::string name_bytes_;  // all clean names, back to back
  std::size_t dead_name_bytes_ = 0;
  NodeId free_node_head_ = kNoNode;  // free nodes chained through next_sibling
  std::size_t free_nodes_ = 0;
  std::size_t keyword_count_ = 0;
};

// Appends a key to a path: a byte key as that byte, a larger one as its
// UTF-8 encoding.
void append_key_utf8(std::string& out, std::uint32_t key);

template <class F>
void Trie::for_each_keyword(F&& f) const {
  std::string path;
  // Explicit stack of (node, path length before the node's key).
  std::vector<std::pair<NodeId, std::size_t>> stack;
  if (has_clean_name(kRoot)) f(std::string_view(path), clean_name(kRoot));
  std::vector<NodeId> order;
  // Push children in reverse so that the smallest key is visited first.
  auto push_children = [&](NodeId node, std::size_t depth) {
    std::size_t mark = order.size();
    for (NodeId c = first_child(node); c != kNoNode; c = next_sibling(c)) order.push_back(c);
    for (std::size_t i = order.size(); i > mark; --i) stack.emplace_back(order[i - 1], depth);
    order.resize(mark);
  };
  push_children(kRoot, 0);
  while (!stack.empty()) {
    auto [node, depth] = stack.back();
    stack.pop_back();
    path.resize(depth);
    append_key_utf8(path, key(node));
    if (has_clean_name(node)) f(std::string_view(path), clean_name(node));
    push_children(node, path.size());
  }
}

}  // namespace fernquill
