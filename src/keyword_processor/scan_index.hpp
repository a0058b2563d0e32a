// Read-only scan structures compiled from a processor's store.
//
// The processor compiles one ScanIndex on the first scan after a change and
// drops it on the next change, so everything here may view the store's clean
// names directly. Once built it is never written: any number of threads may
// scan with it at once.
//
// Two structures are kept:
//  - a double-array trie for exact matching: the child of slot s under byte b
//    is slot base(s) + b when that slot's check field names s, so a step is
//    one 8-byte load (base, check and the keyword flag share one slot);
//  - a flat copy of the trie for the approximate search: nodes numbered
//    breadth first so that a node's children are contiguous and in ascending
//    key order (the store's iteration order), each with the height and the
//    longest clean name of its subtree, which bound what the search can still
//    find below it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

#include "keyword_processor/keyword_match.hpp"

namespace fernquill {

class KeywordProcessor;
class ApproxPlan;

class ScanIndex {
 public:
  explicit ScanIndex(const KeywordProcessor& processor);
  const KeywordProcessor& processor() const { return processor_; }

  // ---- exact matching --------------------------------------------------
  // Slot layout: low 31 bits base, bit 31 set when a keyword ends at the
  // slot, high 32 bits the parent slot (check), so that the test of a step
  // is one shift and one compare. Slots stay below kEmptyCheck.
  using Slot = std::uint64_t;
  static constexpr std::uint32_t kRootSlot = 0;
  static constexpr std::uint32_t kEmptyCheck = 0x7FFFFFFFu;
  static constexpr Slot kKeywordBit = Slot{1} << 31;
  static std::uint32_t base_of(Slot v) { return static_cast<std::uint32_t>(v) & 0x7FFFFFFFu; }
  static std::uint32_t check_of(Slot v) { return static_cast<std::uint32_t>(v >> 32); }

  const Slot* slots() const { return slots_.data(); }
  std::size_t slot_count() const { return slots_.size(); }
  // Clean name of a keyword slot.
  std::string_view slot_name(std::uint32_t slot) const { return slot_names_[slot]; }
  const std::string_view* slot_name_entry(std::uint32_t slot) const { return &slot_names_[slot]; }

  // Byte tables, indexed by a byte of the text. The `fold` variants apply
  // to a pure-ASCII text scanned for a case-insensitive processor without a
  // lower-cased copy: they see the byte as its ASCII lower case.
  //
  // The word bytes are also given as at most kMaxWordRanges ranges
  // [lo, lo + span], for a start test over many bytes at once; word_ranges
  // is kTooManyRanges when the set needs more.
  static constexpr std::size_t kMaxWordRanges = 4;
  static constexpr std::uint8_t kTooManyRanges = 0xFF;
  struct ByteTables {
    std::array<std::uint8_t, 256> code;   // byte as the trie sees it
    std::array<std::uint8_t, 256> word;   // 1 for a word byte
    std::array<std::uint8_t, 256> first;  // 1 when some keyword starts with it
    std::uint8_t word_ranges;
    std::array<std::uint8_t, kMaxWordRanges> range_lo;
    std::array<std::uint8_t, kMaxWordRanges> range_span;
  };
  const ByteTables& plain() const { return plain_; }
  const ByteTables& fold() const { return fold_; }

  // ---- approximate matching -------------------------------------------
  static constexpr std::uint32_t kNoName = 0xFFFFFFFFu;
  static constexpr std::uint32_t kNoSlot = 0xFFFFFFFFu;
  // Lengths and heights that do not fit 32 bits are held as kSaturated.
  static constexpr std::uint32_t kSaturated = 0xFFFFFFFFu;
  struct Node {
    std::uint32_t slot;         // the node's double-array slot, or kNoSlot
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
  // Key of every node as 16 bits, for a compact search of a node's
  // children. Subtrees under keys above 255 are not copied.
  const std::vector<std::uint16_t>& keys() const { return keys_; }
  // Node of a double-array slot.
  const std::vector<std::uint32_t>& slot_nodes() const { return slot_node_; }
  std::string_view name(std::uint32_t id) const { return names_[id]; }

  bool case_sensitive() const { return case_sensitive_; }
  bool allow_overlaps() const { return allow_overlaps_; }

  // Bytes of the exact-matching structures (the double array and its names).
  std::size_t exact_memory_bytes() const;

  // The approximate search's structures for threshold t, kept for the last
  // kCachedPlans thresholds (by their float bits). A plan costs about as
  // much to build as an unfiltered scan of a few bytes per trie node, so it
  // is built only once the approximate scans with this index have covered
  // kPlanBytesPerNode bytes per node, counting `text_bytes` of the scan
  // asking; until then this returns null and the scan searches every start.
  // Safe to call from any number of threads at once: a plan is immutable
  // once built, and a caller's shared_ptr keeps it alive after eviction.
  static constexpr std::size_t kCachedPlans = 4;
  static constexpr std::uint64_t kPlanBytesPerNode = 2;
  std::shared_ptr<const ApproxPlan> approx_plan(float t, std::size_t text_bytes) const;

 private:
  void build_double_array();
  void build_nodes();
  static void set_word_ranges(ByteTables& tables);

  const KeywordProcessor& processor_;
  bool case_sensitive_;
  bool allow_overlaps_;
  std::vector<std::string_view> names_;
  std::vector<Slot> slots_;
  std::vector<std::string_view> slot_names_;
  ByteTables plain_{};
  ByteTables fold_{};
  std::vector<Node> nodes_;
  std::vector<std::uint16_t> keys_;
  std::vector<std::uint32_t> slot_node_;

  struct CachedPlan {
    std::uint32_t bits = 0;
    std::shared_ptr<const ApproxPlan> plan;
  };
  mutable std::mutex plans_mutex_;
  mutable std::array<CachedPlan, kCachedPlans> plans_;
  mutable std::size_t next_plan_ = 0;       // the slot replaced next
  mutable std::uint64_t approx_bytes_ = 0;  // bytes scanned approximately, under the mutex
};

struct ApproxStats {
  std::uint64_t states = 0;    // search states taken off the stack
  std::uint64_t starts = 0;    // positions that passed the start test
  std::uint64_t filtered = 0;  // of them, positions the piece filter ruled out
  std::uint64_t searched = 0;  // of them, positions where the edit search ran
};

// The scans behind extract_keywords, over a scan text already made. `fold`
// asks the exact scan to read a pure-ASCII text as its ASCII lower case.
void scan_exact(const ScanIndex& index, std::string_view text, bool fold,
                std::vector<KeywordMatch>& out);
void scan_approximate(const ScanIndex& index, std::string_view text, float threshold,
                      std::vector<KeywordMatch>& out, ApproxStats* stats = nullptr);

}  // namespace fernquill
