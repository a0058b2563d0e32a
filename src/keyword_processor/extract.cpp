#include "keyword_processor/extract.hpp"

#include "approx/approx_search.hpp"
#include "exact/scan_index.hpp"
#include "exact/whole_word_scan.hpp"
#include "support/fault.hpp"
#include "support/interrupt.hpp"
#include "text/lowercase.hpp"

namespace fernquill {

namespace {

// The steps, inlined into extract_keywords (whose per-call cost matters for
// short texts) and behind the entry points that replacement calls.
// `is_ascii_text()` tells whether the text is ASCII, asked only when the
// answer matters.
template <class IsAscii>
[[gnu::always_inline]] inline void make_scan_text_inline(const KeywordProcessor& processor,
                                                         std::string_view text, bool exact,
                                                         IsAscii&& is_ascii_text, ScanText& out) {
  out.bytes = text;
  if (processor.case_sensitive() || text.empty()) return;
  if (exact && is_ascii_text()) {
    out.fold = true;
    return;
  }
  out.lengths_changed = !lower_utf8(text, out.folded);
  out.bytes = out.folded;
}

// A long text is tested a piece at a time, with a cancellation point
// between pieces: a gigabyte takes a tenth of a second or more.
constexpr std::size_t kAsciiPiece = std::size_t{1} << 20;
inline bool is_ascii_interruptible(std::string_view text) {
  for (; text.size() > kAsciiPiece; text.remove_prefix(kAsciiPiece)) {
    if (!is_ascii(text.substr(0, kAsciiPiece))) return false;
    interruption_point();
  }
  return is_ascii(text);
}

[[gnu::always_inline]] inline void make_scan_text_inline(const KeywordProcessor& processor,
                                                         std::string_view text, bool exact,
                                                         ScanText& out) {
  make_scan_text_inline(
      processor, text, exact, [text] { return is_ascii_interruptible(text); }, out);
}

// The one dispatch of a scan, behind every entry below. With a sink, the
// exact scans (default and with options) hand their matches over as they go;
// the others, and the exact scans without a sink, leave them in `out`.
[[gnu::always_inline]] inline void scan_text_into(const KeywordProcessor& processor,
                                                  const ScanText& text, float threshold,
                                                  const ScanOptions& options,
                                                  std::vector<KeywordMatch>& out,
                                                  const MatchSink* sink) {
  if (text.bytes.empty()) return;
  // With overlaps allowed there are no word tests for the options to change.
  const bool plain = options.is_default() || processor.allow_overlaps();
  if (threshold != 1.0f) {
    scan_approximate(processor.approx_index(), text.bytes, threshold, out);
    if (!plain && options.unicode_words) {
      keep_unicode_whole_words(processor.scan_index(), processor.word_set(), text.bytes, out);
    }
  } else if (!plain) {
    scan_exact_with_options(processor.scan_index(), processor.word_set(), text.bytes, text.fold,
                            options, out, sink);
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
  scan_text_into(processor, text, threshold, ScanOptions{}, out, nullptr);
  return out;
}

// The lower-cased copy of the last text this thread scanned is kept for the
// next call: the copy of a long text is megabytes, which the allocator hands
// back to the system when it is freed, for the next call to fault it in
// again page by page. Kept while its room stays within kKeptScanTextBytes.
constexpr std::size_t kKeptScanTextBytes = std::size_t{64} << 20;
struct KeptScanText {
  std::string bytes;
  bool in_use = false;
};
thread_local KeptScanText t_kept_scan_text;

// Lends the kept copy's room to `scan` for one call. A call that finds it in
// use (a scan started from a sink, on the same thread) makes a copy of its
// own.
class KeptRoom {
 public:
  explicit KeptRoom(ScanText& scan) : scan_(scan), lent_(!t_kept_scan_text.in_use) {
    if (!lent_) return;
    t_kept_scan_text.in_use = true;
    scan_.folded.swap(t_kept_scan_text.bytes);
    scan_.folded.clear();
  }
  KeptRoom(const KeptRoom&) = delete;
  KeptRoom& operator=(const KeptRoom&) = delete;
  ~KeptRoom() {
    if (!lent_) return;
    if (scan_.folded.capacity() <= kKeptScanTextBytes) scan_.folded.swap(t_kept_scan_text.bytes);
    t_kept_scan_text.in_use = false;
  }

 private:
  ScanText& scan_;
  bool lent_;
};

}  // namespace

void extract_keywords_to(const KeywordProcessor& processor, std::string_view text,
                         std::optional<float> threshold, const MatchSink& sink,
                         const ScanOptions& options) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  const KeptRoom room(scan);
  make_scan_text_inline(processor, text, t == 1.0f, scan);
  scan_text_to(processor, scan, t, sink, options);
}

void scan_text_to(const KeywordProcessor& processor, const ScanText& text, float threshold,
                  const MatchSink& sink, const ScanOptions& options) {
  std::vector<KeywordMatch> rest;
  scan_text_into(processor, text, threshold, options, rest, &sink);
  if (!rest.empty()) sink(rest);
}

void throw_threshold_fault() { throw Fault("Threshold must be between 0 and 1"); }

void make_scan_text(const KeywordProcessor& processor, std::string_view text, bool exact,
                    ScanText& out) {
  make_scan_text_inline(processor, text, exact, out);
}

void make_scan_text(const KeywordProcessor& processor, std::string_view text, bool exact,
                    bool ascii, ScanText& out) {
  make_scan_text_inline(processor, text, exact, [ascii] { return ascii; }, out);
}

std::vector<KeywordMatch> scan_text(const KeywordProcessor& processor, const ScanText& text,
                                    float threshold) {
  return scan_text_inline(processor, text, threshold);
}

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  const KeptRoom room(scan);
  make_scan_text_inline(processor, text, t == 1.0f, scan);
  return scan_text_inline(processor, scan, t);
}

void scan_text(const KeywordProcessor& processor, const ScanText& text, float threshold,
               const ScanOptions& options, std::vector<KeywordMatch>& out) {
  out.clear();
  scan_text_into(processor, text, threshold, options, out, nullptr);
}

std::vector<KeywordMatch> scan_text(const KeywordProcessor& processor, const ScanText& text,
                                    float threshold, const ScanOptions& options) {
  std::vector<KeywordMatch> out;
  scan_text(processor, text, threshold, options, out);
  return out;
}

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold,
                                           const ScanOptions& options) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  make_scan_text_inline(processor, text, t == 1.0f, scan);
  return scan_text(processor, scan, t, options);
}

}  // namespace fernquill
