// The approximate search's copy of the trie, and its plans per threshold.
//
// A flat copy of the trie with nodes numbered breadth first, so that a
// node's children are contiguous and in ascending key order (the store's
// iteration order), each with the height and the longest clean name of its
// subtree, which bound what the search can still find below it. It views
// the store's names and the exact index it extends; the processor drops it
// with them on every change that matters (keyword_processor.hpp).
//
// Thread safety: every member function is const and any number of threads
// may call them at once on one index.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "approx/plan_cache.hpp"
#include "exact/scan_index.hpp"
#include "trie/trie.hpp"

namespace fernquill {

class ApproxIndex {
 public:
  // `exact` must be the index of the same store; it must outlive this one.
  ApproxIndex(const Trie& trie, const ScanIndex& exact);

  static constexpr std::uint32_t kNoName = 0xFFFFFFFFu;
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
  // Lengths and heights that do not fit 32 bits are held as kSaturated.
  static constexpr std::uint32_t kSaturated = 0xFFFFFFFFu;
  struct Node {
    std::uint32_t slot;         // the node's double-array slot
    std::uint32_t child_begin;  // children are [child_begin, child_end)
    std::uint32_t child_end;
    std::uint32_t name;         // index into the names, or kNoName
    std::uint32_t name_len;     // bytes of the clean name
    std::uint32_t height;       // longest path down to a named node, in edges
    std::uint32_t max_name;     // longest clean name in the subtree
    std::uint32_t named_below;  // 1 when the subtree holds a clean name
    // Bit (b & 63) set for the key b of every child: a clear bit proves that
    // no child has key b.
    std::uint64_t child_bytes;
  };
  const std::vector<Node>& nodes() const { return nodes_; }

  // What the edit search reads of a node on every state, 16 bytes in the
  // order of nodes(), so that one cache line holds four siblings. A node's
  // children are [child_begin(), next node's child_begin()); one entry past
  // the last node closes the range.
  struct SearchNode {
    static constexpr std::uint32_t kHasName = 1u << 31;
    static constexpr std::uint32_t kNamedBelow = 1u << 30;
    static constexpr std::uint32_t kChildMask = kNamedBelow - 1;
    // Heights and lengths from here on are too long to bound.
    static constexpr std::uint8_t kUnbounded = 0xFF;
    std::uint64_t child_bytes;  // as in Node
    std::uint32_t child_and_flags;
    std::uint8_t height;    // as in Node, or kUnbounded
    std::uint8_t max_name;  // as in Node, or kUnbounded
    std::uint8_t key;       // the byte under which the parent holds this node
    std::uint8_t flags;     // kRanked, kUnboundedBelow
    // When the low six bits of the children's keys rise from child to
    // child (as for lower-case letters and the space, children being in
    // key order), the child whose key has low bits b is child_begin + the
    // number of set bits of child_bytes below bit b.
    static constexpr std::uint8_t kRanked = 1;
    static constexpr std::uint8_t kUnboundedBelow = 2;  // height or max_name is kUnbounded
    std::uint32_t child_begin() const { return child_and_flags & kChildMask; }
    bool has_name() const { return (child_and_flags & kHasName) != 0; }
    bool named_below() const { return (child_and_flags & kNamedBelow) != 0; }
  };
  const SearchNode* search_nodes() const { return search_nodes_.data(); }
  // Edges from each node down to the nearest named node of its subtree,
  // held up to kSaturatedNear (a lower bound past it), for a subtree that
  // holds one. The search reads it only near the end of a text, where it
  // proves that no name is within reach (see EditSearch::beyond_reach).
  static constexpr std::uint8_t kSaturatedNear = 0xFF;
  const std::uint8_t* nearest_names() const { return nearest_.data(); }
  // The largest of them over the nodes with a named subtree.
  std::uint32_t farthest_nearest() const { return farthest_nearest_; }
  // Key of every node as 16 bits. A key above 255 (only a loaded state has
  // one) equals no byte of a text, so nodes under it never take part in
  // matching: their subtrees are not copied.
  const std::vector<std::uint16_t>& keys() const { return keys_; }
  // Node of a double-array slot.
  const std::vector<std::uint32_t>& slot_nodes() const { return slot_node_; }
  std::string_view name(std::uint32_t id) const { return names_[id]; }

  // The exact index's double array and tables, which the search shares.
  const ScanIndex::Slot* slots() const { return exact_.slots(); }
  const ByteTables& plain() const { return exact_.plain(); }
  bool allow_overlaps() const { return exact_.allow_overlaps(); }
  std::string_view slot_name(std::uint32_t slot) const { return exact_.slot_name(slot); }
  std::size_t exact_memory_bytes() const { return exact_.memory_bytes(); }

  std::size_t memory_bytes() const;

  // The plans of this index (see plan_for in approx_plan.hpp).
  PlanCache& plans() const { return plans_; }

 private:
  void build_nodes(const Trie& trie);
  void build_bounds();
  void map_slots();
  void build_search_nodes();
  void rank_children();

  const ScanIndex& exact_;
  std::vector<std::string_view> names_;
  std::vector<Node> nodes_;
  std::vector<std::uint16_t> keys_;
  std::vector<std::uint32_t> slot_node_;
  std::vector<SearchNode> search_nodes_;
  std::vector<std::uint8_t> nearest_;
  std::uint32_t farthest_nearest_ = 0;

  mutable PlanCache plans_;
};

}  // namespace fernquill
