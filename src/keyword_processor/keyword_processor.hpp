// The processor's engine record and its keyword-store operations.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "keyword_processor/keyword_match.hpp"
#include "keyword_processor/scan_index.hpp"
#include "keyword_processor/word_set.hpp"
#include "trie/trie.hpp"

namespace fernquill {

class KeywordProcessor {
 public:
  KeywordProcessor(bool case_sensitive, bool allow_overlaps);
  ~KeywordProcessor();
  KeywordProcessor(const KeywordProcessor&) = delete;
  KeywordProcessor& operator=(const KeywordProcessor&) = delete;

  void add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);
  bool remove_keyword(std::string_view keyword);
  std::size_t count_keywords() const { return trie_.keyword_count(); }

  void add_word_char(std::uint32_t c);
  void set_word_chars(std::span<const std::uint32_t> chars);

  bool case_sensitive() const { return case_sensitive_; }
  bool allow_overlaps() const { return allow_overlaps_; }
  const WordSet& word_set() const { return non_word_boundaries_; }
  const Trie& trie() const { return trie_; }

  // Takes a complete new state (a loaded pickle) in one step.
  void replace_state(const WordSet& words, Trie&& trie, bool case_sensitive, bool allow_overlaps);

  // The scan structure for the current store, compiled on first use after a
  // change. Not thread-safe while stale: call it on the owning thread before
  // handing the processor to worker threads.
  const ScanIndex& scan_index() const;

 private:
  void invalidate_scan_index() noexcept { scan_index_.reset(); }

  WordSet non_word_boundaries_;
  Trie trie_;
  bool case_sensitive_;
  bool allow_overlaps_;
  mutable std::unique_ptr<ScanIndex> scan_index_;
};

}  // namespace fernquill
