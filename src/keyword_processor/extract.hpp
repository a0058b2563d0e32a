// Keyword extraction and replacement over UTF-8 text.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "exact/keyword_match.hpp"
#include "exact/scan_options.hpp"
#include "keyword_processor/keyword_processor.hpp"

namespace fernquill {

// Every occurrence of a stored keyword in `text`, in ascending start order.
// Throws Fault("Threshold must be between 0 and 1") for a threshold outside
// [0, 1] or NaN. Only reads the processor (see its thread rules).
std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold);

// The same matches (with `options`), handed to `sink` in pieces in the same
// order; the exact scans hand them over as they go, without a vector of them
// all (see scan_text_to).
void extract_keywords_to(const KeywordProcessor& processor, std::string_view text,
                         std::optional<float> threshold, const MatchSink& sink,
                         const ScanOptions& options = ScanOptions{});

// `text` with every occurrence replaced by its clean name appended to `out`,
// made from the matches a piece at a time: neither the matches nor the spans
// are held, so a huge text with dense matches needs only its scan text and the
// result. Returns the number of matches, which may be more than the spans
// replaced (an approximate match may replace nothing).
std::size_t append_replacing(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, std::string& out,
                             const ScanOptions& options = ScanOptions{});

// `text` with every occurrence replaced by its clean name.
std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold);

// What replace_keywords replaces: input byte ranges [from, to), ascending and
// not overlapping, each on character boundaries, with the clean name that
// takes its place (a view into the store). For callers that build the result
// in a form of their own.
struct Replacement {
  std::size_t from, to;
  std::string_view name;
};
std::vector<Replacement> replacements(const KeywordProcessor& processor, std::string_view text,
                                      std::optional<float> threshold);
// Appends `text` with `pieces` (from replacements) spliced in to `out`.
void append_replaced(std::string& out, std::string_view text, std::span<const Replacement> pieces);
// The length of `text` with `pieces` spliced in.
std::size_t replaced_size(std::string_view text, std::span<const Replacement> pieces);

// The same three with scan options; default options give exactly the
// results above.
std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold,
                                           const ScanOptions& options);
std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, const ScanOptions& options);
std::vector<Replacement> replacements(const KeywordProcessor& processor, std::string_view text,
                                      std::optional<float> threshold, const ScanOptions& options);

// ---- the steps both are made of ----

[[noreturn]] void throw_threshold_fault();

// The threshold as a scan uses it: 1.0 when absent; throws the fault above
// when out of range.
inline float checked_threshold(std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) throw_threshold_fault();
  return t;
}

// The text a scan reads, made once per call. Case-sensitive scans read the
// text in place. A case-insensitive exact scan of pure ASCII reads it in
// place too, folding each byte through the index's tables (`fold`);
// anything else reads the lower-cased copy.
struct ScanText {
  std::string_view bytes;
  bool fold = false;
  std::string folded;  // the lower-cased copy, when one was made
  // Some character of the copy differs in byte length from the input's, so
  // offsets into the copy are not offsets into the input (LoweredOffsets
  // maps them back).
  bool lengths_changed = false;
};
void make_scan_text(const KeywordProcessor& processor, std::string_view text, bool exact,
                    ScanText& out);
// The same for a caller that has already tested the text: `ascii` must be
// is_ascii(text). Scanning many short rows, the test is then made once.
void make_scan_text(const KeywordProcessor& processor, std::string_view text, bool exact,
                    bool ascii, ScanText& out);

// The matches over a scan text made for `threshold` (already checked).
std::vector<KeywordMatch> scan_text(const KeywordProcessor& processor, const ScanText& text,
                                    float threshold);
std::vector<KeywordMatch> scan_text(const KeywordProcessor& processor, const ScanText& text,
                                    float threshold, const ScanOptions& options);
// The same matches in place of the contents of `out`, whose room a caller
// scanning many texts keeps from one to the next.
void scan_text(const KeywordProcessor& processor, const ScanText& text, float threshold,
               const ScanOptions& options, std::vector<KeywordMatch>& out);
// The scan entry every caller that takes matches as they come uses (the
// module's extract_keywords, the command line's long records, replacement
// a piece at a time): the matches over a scan text made for `threshold`
// (already checked), with `options`, handed to `sink` in pieces of about 512,
// in order, and never an empty piece. The exact scans, with options or
// without, hand each piece over between 4 KiB chunks as they go, so a long
// text with dense matches holds no list of them; the approximate scan and
// the store walk (right after a change) hand theirs over at the end. The
// sink may throw, which stops the scan; it may start a scan of its own.
void scan_text_to(const KeywordProcessor& processor, const ScanText& text, float threshold,
                  const MatchSink& sink, const ScanOptions& options = ScanOptions{});
// What replacements gives, from a scan already made: `matches` are the matches over
// `scan`, the scan text made from `text`. They take the place of the
// contents of `pieces`.
void replacements_of(std::string_view text, const ScanText& scan,
                     std::span<const KeywordMatch> matches, std::vector<Replacement>& pieces);

}  // namespace fernquill
