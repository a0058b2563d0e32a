// The pickled form of a processor:
//   word count (8, always 17408) | 17408 words (8 each) | root node | case_sensitive (1)
//   | allow_overlaps (1)
// and of a trie node:
//   child count (8) | per child: key (one UTF-8 character) then the child node
//   | clean-name tag (1: 0 or 1) | clean name as a text when the tag is 1
//
// A key is a byte value 0..255 written as the character with that code
// point; a loaded state may hold any code point, which is kept as it is.
// Children are written in ascending key order and read in any order.
// Writing and reading use explicit stacks, so any nesting depth works.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "keyword_processor/keyword_processor.hpp"
#include "exact/word_set.hpp"
#include "state/state_primitives.hpp"
#include "trie/trie.hpp"

namespace fernquill {

// --- Trie nodes ---

// Bytes of the encoding of the whole trie (its root node).
std::size_t trie_state_size(const Trie& trie);
void write_trie_state(const Trie& trie, StateWriter& out);
// Reads one root node into `trie`, which must be freshly constructed.
// Throws Fault on malformed input; `trie` is then left in an unspecified
// (but destructible) state.
void read_trie_state(StateReader& in, Trie& trie);

// --- Whole processor ---

struct ProcessorState {
  WordSet words;  // 139 KB inline: keep this record on the heap
  Trie trie;
  bool case_sensitive = false;
  bool allow_overlaps = false;
};

std::size_t processor_state_size(const WordSet& words, const Trie& trie);
// Fills `out`, which must be exactly processor_state_size(words, trie) bytes.
void write_processor_state(const WordSet& words, const Trie& trie, bool case_sensitive,
                           bool allow_overlaps, std::span<char> out);

std::size_t processor_state_size(const KeywordProcessor& p);
void write_processor_state(const KeywordProcessor& p, std::span<char> out);
std::string encode_processor_state(const KeywordProcessor& p);
std::string encode_processor_state(const ProcessorState& s);

// Reads a whole processor state; bytes after it are ignored. Throws Fault
// with the failure's text on malformed input. `max_size` is the largest
// value a size field may hold (the pointer-sized maximum unless a test
// narrows it).
std::unique_ptr<ProcessorState> decode_processor_state(std::string_view state,
                                                       std::uint64_t max_size = kMaxSizeField);

}  // namespace fernquill
