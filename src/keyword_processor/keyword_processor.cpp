#include "keyword_processor/keyword_processor.hpp"

#include <algorithm>
#include <array>
#include <string>
#include <vector>

#include "text/lowercase.hpp"

namespace fernquill {
namespace {

// Store-walk work (positions plus trie nodes looked at) that costs as much
// as compiling the index, per node of the store: a compile spends 5 to 15
// times longer on a node than the walk on one unit of work, measured at 1k,
// 10k and 100k keywords of the benchmark data.
constexpr std::uint64_t kWalkWorkPerNode = 8;

// Words of the word-character set that hold the bytes 0..255, the only part
// a scan reads.
constexpr std::size_t kScannedWords = (kMaxByteKey + 1) / WordSet::kBitsPerWord;

}  // namespace

void WordSet::set_defaults() {
  clear();
  for (std::uint32_t c = '0'; c <= '9'; ++c) add(c);
  for (std::uint32_t c = 'A'; c <= 'Z'; ++c) add(c);
  for (std::uint32_t c = 'a'; c <= 'z'; ++c) add(c);
}

KeywordProcessor::KeywordProcessor(bool case_sensitive, bool allow_overlaps)
    : case_sensitive_(case_sensitive), allow_overlaps_(allow_overlaps) {
  non_word_boundaries_.set_defaults();
  compiled_.emplace();
}

KeywordProcessor::~KeywordProcessor() = default;

KeywordProcessor::Compiled::Compiled() noexcept = default;

void KeywordProcessor::add_keyword(std::string_view keyword,
                                   std::optional<std::string_view> clean_name) {
  std::string folded;
  if (!case_sensitive_) {
    lower_utf8(keyword, folded);
    keyword = folded;
  }
  // Re-adding a keyword with its own clean name changes nothing and keeps
  // the compiled structures. The store changes only if insert returns.
  if (trie_.insert(keyword, clean_name ? *clean_name : keyword)) drop_compiled();
}

bool KeywordProcessor::remove_keyword(std::string_view keyword) {
  std::string folded;
  if (!case_sensitive_) {
    lower_utf8(keyword, folded);
    keyword = folded;
  }
  if (!trie_.erase(keyword)) return false;
  drop_compiled();
  return true;
}

void KeywordProcessor::add_word_char(std::uint32_t c) {
  if (non_word_boundaries_.contains(c)) return;
  // Scans read the set for bytes only.
  if (c <= kMaxByteKey) drop_compiled();
  non_word_boundaries_.add(c);
}

void KeywordProcessor::set_word_chars(std::span<const std::uint32_t> chars) {
  WordSet::Words& words = non_word_boundaries_.words();
  std::array<std::uint64_t, kScannedWords> scanned;
  std::copy_n(words.begin(), kScannedWords, scanned.begin());
  non_word_boundaries_.clear();
  for (std::uint32_t c : chars) non_word_boundaries_.add(c);
  if (!std::equal(scanned.begin(), scanned.end(), words.begin())) drop_compiled();
}

void KeywordProcessor::replace_state(const WordSet& words, Trie&& trie, bool case_sensitive,
                                     bool allow_overlaps) {
  drop_compiled();
  non_word_boundaries_ = words;
  trie_.swap(trie);
  case_sensitive_ = case_sensitive;
  allow_overlaps_ = allow_overlaps;
}

std::uint64_t KeywordProcessor::compile_cost() const {
  return std::uint64_t{trie_.node_count()} * kWalkWorkPerNode;
}

const ScanIndex* KeywordProcessor::exact_index_for(std::size_t text_bytes) const {
  if (const ScanIndex* index = compiled_->exact.load(std::memory_order_acquire)) return index;
  const std::uint64_t spent = compiled_->store_walk_work.load(std::memory_order_relaxed);
  if (spent + text_bytes < compile_cost()) return nullptr;
  return &scan_index();
}

void KeywordProcessor::charge_store_walk(std::uint64_t work) const {
  compiled_->store_walk_work.fetch_add(work, std::memory_order_relaxed);
}

const ScanIndex& KeywordProcessor::scan_index() const {
  Compiled& c = *compiled_;
  if (const ScanIndex* index = c.exact.load(std::memory_order_acquire)) return *index;
  std::call_once(c.exact_once, [&] {
    c.exact_owner = std::make_unique<const ScanIndex>(trie_, non_word_boundaries_, allow_overlaps_);
    c.exact.store(c.exact_owner.get(), std::memory_order_release);
  });
  return *c.exact_owner;
}

const ApproxIndex& KeywordProcessor::approx_index() const {
  const ScanIndex& exact = scan_index();
  Compiled& c = *compiled_;
  std::call_once(c.approx_once,
                 [&] { c.approx = std::make_unique<const ApproxIndex>(trie_, exact); });
  return *c.approx;
}

}  // namespace fernquill
