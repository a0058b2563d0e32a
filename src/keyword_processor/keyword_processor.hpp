// The processor's engine record, its keyword-store operations and the
// lifecycle of the scan structures compiled from the store.
//
// Thread safety. The mutating members (add_keyword, remove_keyword,
// add_word_char, set_word_chars, replace_state) need exclusive access: no
// other thread may use the processor while one runs. Every const member may
// be called by any number of threads at once, including the first scans
// after a change, which may compile the scan index: that happens under a
// once-guard, and the index, once published, is never written. The binding's
// borrow rules (shared for scans, exclusive for changes) give exactly this.
//
// Lifecycle of the compiled structures. A change that changes what a scan
// sees drops them; a change that changes nothing keeps them. After a drop,
// exact scans first use the store's own walk, which needs no compile, and
// add up their work; once that work reaches what a compile costs, the next
// scan compiles the index and all later ones use it (ski rental: at most
// about twice the cheaper of the two choices, whatever the scans turn out to
// be). Results are the same either way. The approximate search's structures
// are built on the first approximate scan only.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string_view>

#include "approx/approx_index.hpp"
#include "exact/scan_index.hpp"
#include "exact/word_set.hpp"
#include "trie/trie.hpp"

namespace fernquill {

class KeywordProcessor {
 public:
  KeywordProcessor(bool case_sensitive, bool allow_overlaps);
  ~KeywordProcessor();
  KeywordProcessor(const KeywordProcessor&) = delete;
  KeywordProcessor& operator=(const KeywordProcessor&) = delete;

  // ---- changes (exclusive access) ----
  void add_keyword(std::string_view keyword, std::optional<std::string_view> clean_name);
  bool remove_keyword(std::string_view keyword);
  void add_word_char(std::uint32_t c);
  void set_word_chars(std::span<const std::uint32_t> chars);
  // Takes a complete new state (a loaded pickle) in one step.
  void replace_state(const WordSet& words, Trie&& trie, bool case_sensitive, bool allow_overlaps);

  // ---- reads (any number of threads) ----
  std::size_t count_keywords() const { return trie_.keyword_count(); }
  bool case_sensitive() const { return case_sensitive_; }
  bool allow_overlaps() const { return allow_overlaps_; }
  const WordSet& word_set() const { return non_word_boundaries_; }
  const Trie& trie() const { return trie_; }

  // The exact index for a scan of `text_bytes` bytes: compiled first when
  // the store walk has done enough work since the last change (or this text
  // alone is that large), else null, and the caller scans with the store
  // walk and reports its work through charge_store_walk.
  const ScanIndex* exact_index_for(std::size_t text_bytes) const;
  void charge_store_walk(std::uint64_t work) const;
  // Whether the exact index is compiled at this moment.
  bool exact_index_ready() const {
    return compiled_->exact.load(std::memory_order_acquire) != nullptr;
  }
  // The compiled structures, built now if they are not yet.
  const ScanIndex& scan_index() const;
  const ApproxIndex& approx_index() const;

 private:
  // Derived from the store and dropped whole by every change that matters.
  struct Compiled {
    // Declared here and defaulted out of line: clang does not count a nested
    // class with member initializers as default-constructible while the
    // enclosing class is incomplete.
    Compiled() noexcept;
    std::atomic<std::uint64_t> store_walk_work{0};  // since the change
    std::once_flag exact_once;
    std::unique_ptr<const ScanIndex> exact_owner;  // written once, under exact_once
    std::atomic<const ScanIndex*> exact{nullptr};  // published after it is built
    std::once_flag approx_once;
    std::unique_ptr<const ApproxIndex> approx;  // written once, under approx_once
  };
  void drop_compiled() noexcept { compiled_.emplace(); }
  // Work of the store walk that pays for one compile.
  std::uint64_t compile_cost() const;

  WordSet non_word_boundaries_;
  Trie trie_;
  bool case_sensitive_;
  bool allow_overlaps_;
  mutable std::optional<Compiled> compiled_;
};

}  // namespace fernquill
