#include "keyword_processor/keyword_processor.hpp"

#include "keyword_processor/lowercase.hpp"
#include "keyword_processor/scan_index.hpp"

namespace fernquill {

void WordSet::set_defaults() {
  clear();
  for (std::uint32_t c = '0'; c <= '9'; ++c) add(c);
  for (std::uint32_t c = 'A'; c <= 'Z'; ++c) add(c);
  for (std::uint32_t c = 'a'; c <= 'z'; ++c) add(c);
}

KeywordProcessor::KeywordProcessor(bool case_sensitive, bool allow_overlaps)
    : case_sensitive_(case_sensitive), allow_overlaps_(allow_overlaps) {
  non_word_boundaries_.set_defaults();
}

KeywordProcessor::~KeywordProcessor() = default;

void KeywordProcessor::add_keyword(std::string_view keyword,
                                   std::optional<std::string_view> clean_name) {
  std::string folded;
  if (!case_sensitive_) {
    lower_utf8(keyword, folded);
    keyword = folded;
  }
  // The store changes only if insert returns; the index goes with it.
  if (trie_.insert(keyword, clean_name ? *clean_name : keyword)) invalidate_scan_index();
}

bool KeywordProcessor::remove_keyword(std::string_view keyword) {
  std::string folded;
  if (!case_sensitive_) {
    lower_utf8(keyword, folded);
    keyword = folded;
  }
  if (!trie_.erase(keyword)) return false;
  invalidate_scan_index();
  return true;
}

void KeywordProcessor::add_word_char(std::uint32_t c) {
  non_word_boundaries_.add(c);
  invalidate_scan_index();
}

void KeywordProcessor::set_word_chars(std::span<const std::uint32_t> chars) {
  non_word_boundaries_.clear();
  for (std::uint32_t c : chars) non_word_boundaries_.add(c);
  invalidate_scan_index();
}

void KeywordProcessor::replace_state(const WordSet& words, Trie&& trie, bool case_sensitive,
                                     bool allow_overlaps) {
  non_word_boundaries_ = words;
  trie_.swap(trie);
  case_sensitive_ = case_sensitive;
  allow_overlaps_ = allow_overlaps;
  invalidate_scan_index();
}

const ScanIndex& KeywordProcessor::scan_index() const {
  if (!scan_index_) scan_index_ = std::make_unique<ScanIndex>(*this);
  return *scan_index_;
}

}  // namespace fernquill
