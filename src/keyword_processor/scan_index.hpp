// Read-only scan structures compiled from a keyword store.
//
// A ScanIndex is built from a trie, a word-character set and the options,
// and is never written afterwards. It keeps its own copy of the clean names
// and refers to nothing else; an ApproxIndex views the store's names and the
// exact index it extends. The processor that owns them drops both on every
// change that matters (keyword_processor.hpp).
//
// Thread safety: every member function is const and any number of threads
// may call them at once on one index.
//
// Two structures are kept, the second only once asked for:
//  - ScanIndex, for exact matching: a double-array trie in which the child
//    of slot s under byte b is slot base(s) + b when that slot's check field
//    names s, so a step is one 8-byte load (base, check and the keyword flag
//    share one slot), and the byte tables of the start and end tests;
//  - ApproxIndex, for the approximate search: a flat copy of the trie with
//    nodes numbered breadth first, so that a node's children are contiguous
//    and in ascending key order (the store's iteration order), each with the
//    height and the longest clean name of its subtree, which bound what the
//    search can still find below it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/keyword_match.hpp"
#include "keyword_processor/word_set.hpp"
#include "trie/trie.hpp"

namespace fernquill {

class ApproxPlan;

// The byte tables of a scan, indexed by a byte of the text. The word bytes
// are also given as at most kMaxWordRanges ranges [lo, lo + span], for a
// start test over many bytes at once; word_ranges is kTooManyRanges when the
// set needs more.
struct ByteTables {
  static constexpr std::size_t kMaxWordRanges = 4;
  static constexpr std::uint8_t kTooManyRanges = 0xFF;
  std::array<std::uint8_t, 256> code;   // byte as the trie sees it
  std::array<std::uint8_t, 256> word;   // 1 for a word byte
  std::array<std::uint8_t, 256> first;  // 1 when some keyword starts with it
  std::uint8_t word_ranges;
  std::array<std::uint8_t, kMaxWordRanges> range_lo;
  std::array<std::uint8_t, kMaxWordRanges> range_span;
};

class ScanIndex {
 public:
  ScanIndex(const Trie& trie, const WordSet& words, bool allow_overlaps);

  // Slot layout: low 31 bits base, bit 31 set when a keyword ends at the
  // slot, high 32 bits the parent slot (check), so that the test of a step
  // is one shift and one compare. Slots stay below kEmptyCheck.
  using Slot = std::uint64_t;
  static constexpr std::uint32_t kRootSlot = 0;
  static constexpr std::uint32_t kEmptyCheck = 0x7FFFFFFFu;
  static constexpr Slot kKeywordBit = Slot{1} << 31;
  static constexpr std::uint32_t kBaseMask = 0x7FFFFFFFu;
  static std::uint32_t base_of(Slot v) { return static_cast<std::uint32_t>(v) & kBaseMask; }
  static std::uint32_t check_of(Slot v) { return static_cast<std::uint32_t>(v >> 32); }

  const Slot* slots() const { return slots_.data(); }
  std::size_t slot_count() const { return slots_.size(); }
  // Clean name of a keyword slot: one load beside the slot's own, so that
  // recording a match costs a single miss.
  std::string_view slot_name(std::uint32_t slot) const {
    const NameRef ref = slot_names_[slot];
    return {name_bytes_.data() + ref.offset, ref.size};
  }
  const void* slot_name_entry(std::uint32_t slot) const { return &slot_names_[slot]; }

  // `plain` reads the text as it is. `fold` applies to a pure-ASCII text
  // scanned for a case-insensitive processor without a lower-cased copy: it
  // sees each byte as its ASCII lower case.
  const ByteTables& plain() const { return plain_; }
  const ByteTables& fold() const { return fold_; }
  bool allow_overlaps() const { return allow_overlaps_; }

  std::size_t memory_bytes() const;

 private:
  void build_double_array(const Trie& trie);
  void build_tables(const WordSet& words);

  // Where a keyword slot's clean name lies in name_bytes_.
  struct NameRef {
    std::uint32_t offset;
    std::uint32_t size;
  };

  bool allow_overlaps_;
  std::vector<Slot> slots_;
  std::vector<NameRef> slot_names_;  // per slot, set on keyword slots only
  std::string name_bytes_;           // the clean names, back to back
  ByteTables plain_{};
  ByteTables fold_{};
};

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

  // The search's structures for threshold t, kept for the last kCachedPlans
  // thresholds (by their float bits). A plan costs about as much to build as
  // an unfiltered scan of a few bytes per trie node, so it is built only once
  // the approximate scans with this index have covered kPlanBytesPerNode
  // bytes per node, counting the `text_bytes` of the scan asking; until then
  // this returns null and the scan searches every start. Safe to call from
  // any number of threads at once: a plan is immutable once built, and a
  // caller's shared_ptr keeps it alive after eviction.
  static constexpr std::size_t kCachedPlans = 4;
  static constexpr std::uint64_t kPlanBytesPerNode = 2;
  // `text` (may be empty), the text about to be scanned, steers the plan's
  // cut points when it is built.
  std::shared_ptr<const ApproxPlan> plan(float t, std::size_t text_bytes,
                                         std::string_view text = {}) const;

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

  struct CachedPlan {
    std::uint32_t bits = 0;
    std::shared_ptr<const ApproxPlan> plan;
  };
  mutable std::mutex plans_mutex_;
  mutable std::array<CachedPlan, kCachedPlans> plans_;
  mutable std::size_t next_plan_ = 0;        // the cache slot replaced next
  mutable std::uint64_t scanned_bytes_ = 0;  // approximate scan bytes, under the mutex
};

// Counts of one approximate scan, for tests and benchmarks.
struct ApproxStats {
  std::uint64_t states = 0;    // search states taken off the stack
  std::uint64_t starts = 0;    // positions that passed the start test
  std::uint64_t filtered = 0;  // of them, positions the piece filter ruled out
  std::uint64_t searched = 0;  // of them, positions where the edit search ran
  std::uint64_t recalled = 0;  // of them, positions given a remembered search's result
  std::uint64_t resumed = 0;   // searches begun at a remembered frontier
};

// How the exact scan runs the walks of a chunk: one after the other, each to
// its end, or all together one byte per round so that their loads overlap.
// kChosen is the rounds: measured on the corpus (bench/bench_exact_walk.cpp),
// they win at every size, 1k keywords and short texts included, even where
// the whole index stays in cache. kEach is kept for that benchmark.
enum class ExactWalk { kChosen, kEach, kRounds };

// The scans behind extract_keywords, over a scan text already made. `fold`
// asks the exact scan to read a pure-ASCII text as its ASCII lower case.
// With a `sink`, the matches are handed over in pieces as the scan goes, and
// `out` is empty again on return.
void scan_exact(const ScanIndex& index, std::string_view text, bool fold,
                std::vector<KeywordMatch>& out, ExactWalk how = ExactWalk::kChosen,
                const MatchSink* sink = nullptr);
void scan_approximate(const ApproxIndex& index, std::string_view text, float threshold,
                      std::vector<KeywordMatch>& out);
// The same scan, also counting its work.
void scan_approximate_counted(const ApproxIndex& index, std::string_view text, float threshold,
                              std::vector<KeywordMatch>& out, ApproxStats& stats);

// The exact scan with the store's own walk, which needs nothing compiled:
// the same results as scan_exact for the index of the same store. Returns
// the work done, in positions plus trie nodes looked at (what the processor
// weighs against compiling an index).
std::uint64_t scan_exact_store(const Trie& trie, const WordSet& words, bool allow_overlaps,
                               std::string_view text, bool fold, std::vector<KeywordMatch>& out);

}  // namespace fernquill
