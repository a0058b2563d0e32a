// The exact scan's structure compiled from a keyword store.
//
// A ScanIndex is built from a trie, a word-character set and the options,
// and is never written afterwards. It keeps its own copy of the clean names
// and refers to nothing else. The processor that owns it drops it on every
// change that matters (keyword_processor.hpp).
//
// Thread safety: every member function is const and any number of threads
// may call them at once on one index.
//
// A double-array trie in which the child of slot s under byte b is slot
// base(s) + b when that slot's check field names s, so a step is one 8-byte
// load (base, check and the keyword flag share one slot), and the byte
// tables of the start and end tests.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "exact/keyword_match.hpp"
#include "exact/word_set.hpp"
#include "trie/trie.hpp"

namespace fernquill {

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

// How the exact scan runs the walks of a chunk: one after the other, each to
// its end, or all together one byte per round so that their loads overlap.
// kChosen is the rounds: measured on the corpus (bench/bench_exact_walk.cpp),
// they win at every size, 1k keywords and short texts included, even where
// the whole index stays in cache. kEach is kept for that benchmark.
enum class ExactWalk { kChosen, kEach, kRounds };

// The exact scan behind extract_keywords, over a scan text already made.
// `fold` asks it to read a pure-ASCII text as its ASCII lower case. With a
// `sink`, the matches are handed over in pieces as the scan goes, and `out`
// is empty again on return.
void scan_exact(const ScanIndex& index, std::string_view text, bool fold,
                std::vector<KeywordMatch>& out, ExactWalk how = ExactWalk::kChosen,
                const MatchSink* sink = nullptr);
// The exact scan with the store's own walk, which needs nothing compiled:
// the same results as scan_exact for the index of the same store. Returns
// the work done, in positions plus trie nodes looked at (what the processor
// weighs against compiling an index).
std::uint64_t scan_exact_store(const Trie& trie, const WordSet& words, bool allow_overlaps,
                               std::string_view text, bool fold, std::vector<KeywordMatch>& out);

}  // namespace fernquill
