#include "keyword_processor/extract.hpp"

#include "approx/approx_search.hpp"
#include "exact/scan_index.hpp"
#include "support/fault.hpp"
#include "text/lowercase.hpp"

namespace fernquill {

namespace {

// The steps, inlined into extract_keywords (whose per-call cost matters for
// short texts) and behind the entry points that replacement calls.
[[gnu::always_inline]] inline void make_scan_text_inline(const KeywordProcessor& processor,
                                                         std::string_view text, bool exact,
                                                         ScanText& out) {
  out.bytes = text;
  if (processor.case_sensitive() || text.empty()) return;
  if (exact && is_ascii(text)) {
    out.fold = true;
    return;
  }
  out.lengths_changed = !lower_utf8(text, out.folded);
  out.bytes = out.folded;
}

[[gnu::always_inline]] inline std::vector<KeywordMatch> scan_text_inline(
    const KeywordProcessor& processor, const ScanText& text, float threshold) {
  std::vector<KeywordMatch> out;
  if (text.bytes.empty()) return out;
  if (threshold != 1.0f) {
    scan_approximate(processor.approx_index(), text.bytes, threshold, out);
  } else if (const ScanIndex* index = processor.exact_index_for(text.bytes.size())) {
    scan_exact(*index, text.bytes, text.fold, out);
  } else {
    processor.charge_store_walk(scan_exact_store(processor.trie(), processor.word_set(),
                                                 processor.allow_overlaps(), text.bytes, text.fold,
                                                 out));
  }
  return out;
}

}  // namespace

void throw_threshold_fault() { throw Fault("Threshold must be between 0 and 1"); }

void make_scan_text(const KeywordProcessor& processor, std::string_view text, bool exact,
                    ScanText& out) {
  make_scan_text_inline(processor, text, exact, out);
}

std::vector<KeywordMatch> scan_text(const KeywordProcessor& processor, const ScanText& text,
                                    float threshold) {
  return scan_text_inline(processor, text, threshold);
}

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  make_scan_text_inline(processor, text, t == 1.0f, scan);
  return scan_text_inline(processor, scan, t);
}

}  // namespace fernquill
