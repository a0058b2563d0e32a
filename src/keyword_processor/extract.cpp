#include "keyword_processor/extract.hpp"

#include "keyword_processor/scan_index.hpp"
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

// With a sink, the exact index scan hands its matches over as it goes; the
// other scans leave them in `out`.
[[gnu::always_inline]] inline void scan_text_into(const KeywordProcessor& processor,
                                                  const ScanText& text, float threshold,
                                                  std::vector<KeywordMatch>& out,
                                                  const MatchSink* sink) {
  if (text.bytes.empty()) return;
  if (threshold != 1.0f) {
    scan_approximate(processor.approx_index(), text.bytes, threshold, out);
  } else if (const ScanIndex* index = processor.exact_index_for(text.bytes.size())) {
    scan_exact(*index, text.bytes, text.fold, out, ExactWalk::kChosen, sink);
  } else {
    processor.charge_store_walk(scan_exact_store(processor.trie(), processor.word_set(),
                                                 processor.allow_overlaps(), text.bytes, text.fold,
                                                 out));
  }
}

[[gnu::always_inline]] inline std::vector<KeywordMatch> scan_text_inline(
    const KeywordProcessor& processor, const ScanText& text, float threshold) {
  std::vector<KeywordMatch> out;
  scan_text_into(processor, text, threshold, out, nullptr);
  return out;
}

}  // namespace

void extract_keywords_to(const KeywordProcessor& processor, std::string_view text,
                         std::optional<float> threshold, const MatchSink& sink) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  make_scan_text_inline(processor, text, t == 1.0f, scan);
  std::vector<KeywordMatch> rest;
  scan_text_into(processor, scan, t, rest, &sink);
  if (!rest.empty()) sink(rest);
}

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
