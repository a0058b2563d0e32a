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
  // The same for a scan whose word tests read whole characters: word bytes
  // are the ASCII word characters (letters, digits and the set's members);
  // every other byte is left to the character test.
  const ByteTables& char_words(bool fold) const { return fold ? char_fold_ : char_plain_; }
  // Whether a keyword ends strictly between the root and `slot` on its path:
  // one bit per slot, so that a scan looking for a shorter keyword than the
  // one at `slot` knows without a walk when there is none.
  bool keyword_above(std::uint32_t slot) const { return bit_of(keyword_above_.data(), slot); }
  // The same bits as one array, for a loop that keeps the pointer at hand.
  const std::uint64_t* keyword_above_bits() const { return keyword_above_.data(); }
  static bool bit_of(const std::uint64_t* bits, std::uint32_t slot) {
    return ((bits[slot / 64] >> (slot % 64)) & 1) != 0;
  }
  bool allow_overlaps() const { return allow_overlaps_; }

  std::size_t memory_bytes() const;

 private:
  // Where the trie's nodes went, before the slots are packed (scan_index.cpp).
  struct Layout;
  void build_double_array(const Trie& trie);
  void pack_slots(const Trie& trie, const Layout& layout);
  void build_tables(const WordSet& words);
  void build_keyword_above();

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
  ByteTables char_plain_{};
  ByteTables char_fold_{};
  std::vector<std::uint64_t> keyword_above_;
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
// The exact scan with its own acceptance of candidates, for the scan
// options. The scan finds, chunk by chunk, the positions that pass the start
// test of `tables` and whose byte starts a keyword, and walks the longest
// keyword from each; `accept` then takes them in text order.
struct WalkResult {
  std::uint32_t found;  // slot of the longest keyword on the walk, 0 for none
  std::uint32_t end;    // offset just past it, relative to the chunk
};
// One chunk of text under scan, as the scan's own steps and an acceptor see
// it.
struct ExactChunk {
  const std::uint8_t* s;        // the whole text
  std::size_t n;                // its length
  std::size_t begin;            // offset of the chunk
  const std::uint32_t* starts;  // candidate positions, relative to begin, ascending
  std::size_t count;            // number of candidates
  WalkResult* walks;            // by relative position; the acceptor may rewrite them
};
class ExactAcceptor {
 public:
  virtual ~ExactAcceptor() = default;
  // Writes the relative positions of the accepted candidates to `accepted`
  // (their walks then name the keyword and its end), moves `resume` past
  // each, and returns how many there are. Candidates before `resume` must
  // be passed over.
  virtual std::size_t accept(const ExactChunk& chunk, std::uint32_t* accepted,
                             std::size_t& resume) = 0;
};
// With a `sink`, the matches are handed over as scan_exact hands them.
void scan_exact_accepting(const ScanIndex& index, const ByteTables& tables, std::string_view text,
                          bool fold, ExactAcceptor& accept, std::vector<KeywordMatch>& out,
                          const MatchSink* sink = nullptr);

// The exact scan with the store's own walk, which needs nothing compiled:
// the same results as scan_exact for the index of the same store. Returns
// the work done, in positions plus trie nodes looked at (what the processor
// weighs against compiling an index).
std::uint64_t scan_exact_store(const Trie& trie, const WordSet& words, bool allow_overlaps,
                               std::string_view text, bool fold, std::vector<KeywordMatch>& out);

}  // namespace fernquill
