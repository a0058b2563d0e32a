// Replacement: the text as given, with each matched span replaced by its
// clean name, built front to back in one pass.
//
// Extraction reports offsets into the scan text. For a case-insensitive
// processor that is the lower-cased text, whose characters may differ in byte
// length from the input's (U+0130 grows from two bytes to three, U+212A
// shrinks from three to one). In that case only, the offsets are mapped back
// by walking the input forward with LoweredOffsets: the spans come in
// ascending order, so one walk serves them all and no per-byte map is kept.
//
// A span end that falls inside one input character (inside the expansion of a
// folded character, or on a continuation byte, which approximate matching can
// produce) is widened to whole input characters: every input character that
// contributed a byte to the span is replaced. A span that, once widened,
// overlaps the previously replaced characters is skipped, as is an inverted
// span (an approximate match whose only consumed byte was trimmed from both
// ends); the text there stays as given. An empty span replaces nothing of the
// input and puts the clean name where it starts.
//
// Memory: the scan text and the matches are released before the result is
// built, so besides the input and the result a call holds at most one
// text-sized copy (the lower-cased text) and the list of spans.
#include <optional>
#include <string>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace fernquill {
namespace {

using utf8::is_continuation;

// Maps scan-text spans, in ascending order, to the input characters that
// produced them.
class SpanMapper {
 public:
  SpanMapper(std::string_view input, std::size_t scan_size, bool lengths_changed)
      : input_(input), scan_size_(scan_size) {
    if (lengths_changed) walk_.emplace(input);
  }

  std::size_t start(std::size_t s) {
    if (s >= scan_size_) return input_.size();
    if (walk_) {
      walk_->seek(s);
      return walk_->input_offset();
    }
    while (s > 0 && s < input_.size() && is_continuation(input_[s])) --s;
    return s;
  }

  // The end of a span [s, e) with s < e whose start was mapped last.
  std::size_t end(std::size_t e) {
    if (e >= scan_size_) return input_.size();
    if (walk_) {
      // The character holding the span's last byte ends the widened span.
      walk_->seek(e - 1);
      return walk_->input_offset() + walk_->input_length();
    }
    while (e < input_.size() && is_continuation(input_[e])) ++e;
    return e;
  }

 private:
  std::string_view input_;
  std::size_t scan_size_;
  std::optional<LoweredOffsets> walk_;
};

// Turns matches, in scan order, into the spans replacement takes: mapped to
// input characters, inverted or overlapping ones left out.
class SpanPicker {
 public:
  SpanPicker(std::string_view input, const ScanText& scan)
      : mapper_(input, scan.bytes.size(), scan.lengths_changed), scan_size_(scan.bytes.size()) {}

  std::optional<Replacement> pick(const KeywordMatch& m) {
    if (m.start > m.end || m.end > scan_size_) return std::nullopt;
    const std::size_t from = mapper_.start(m.start);
    const std::size_t to = m.end == m.start ? from : mapper_.end(m.end);
    if (from < cursor_ || to < from) return std::nullopt;
    cursor_ = to;
    return Replacement{from, to, m.keyword};
  }

 private:
  SpanMapper mapper_;
  std::size_t scan_size_;
  std::size_t cursor_ = 0;  // the end of the last span taken
};

}  // namespace

void replacements_of(std::string_view text, const ScanText& scan,
                     std::span<const KeywordMatch> matches, std::vector<Replacement>& pieces) {
  SpanPicker picker(text, scan);
  pieces.clear();
  pieces.reserve(matches.size());
  for (const KeywordMatch& m : matches) {
    if (const std::optional<Replacement> span = picker.pick(m)) pieces.push_back(*span);
  }
}

std::size_t append_replacing(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, std::string& out,
                             const ScanOptions& options) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  make_scan_text(processor, text, t == 1.0f, scan);
  struct Writer {
    std::string_view text;
    std::string& out;
    SpanPicker picker;
    std::size_t copied = 0, matches = 0;
    void take(std::span<const KeywordMatch> piece) {
      matches += piece.size();
      for (const KeywordMatch& m : piece) {
        const std::optional<Replacement> span = picker.pick(m);
        if (!span) continue;
        out.append(text.substr(copied, span->from - copied));
        out.append(span->name);
        copied = span->to;
      }
    }
  } writer{text, out, SpanPicker(text, scan)};
  const MatchSink sink{
      [](void* w, std::span<const KeywordMatch> piece) { static_cast<Writer*>(w)->take(piece); },
      &writer};
  scan_text_to(processor, scan, t, sink, options);
  out.append(text.substr(writer.copied));
  return writer.matches;
}

std::vector<Replacement> replacements(const KeywordProcessor& processor, std::string_view text,
                                      std::optional<float> threshold) {
  return replacements(processor, text, threshold, ScanOptions{});
}

std::vector<Replacement> replacements(const KeywordProcessor& processor, std::string_view text,
                                      std::optional<float> threshold, const ScanOptions& options) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  make_scan_text(processor, text, t == 1.0f, scan);
  const std::vector<KeywordMatch> matches = scan_text(processor, scan, t, options);
  std::vector<Replacement> pieces;
  replacements_of(text, scan, matches, pieces);
  return pieces;
}  // the scan text and the matches go before any result is made

std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold) {
  return replace_keywords(processor, text, threshold, ScanOptions{});
}

std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold, const ScanOptions& options) {
  const std::vector<Replacement> pieces = replacements(processor, text, threshold, options);
  if (pieces.empty()) return std::string(text);
  std::string out;
  out.reserve(replaced_size(text, pieces));
  append_replaced(out, text, pieces);
  return out;
}

std::size_t replaced_size(std::string_view text, std::span<const Replacement> pieces) {
  std::size_t size = text.size();
  for (const Replacement& p : pieces) size = size - (p.to - p.from) + p.name.size();
  return size;
}

void append_replaced(std::string& out, std::string_view text, std::span<const Replacement> pieces) {
  std::size_t cursor = 0;
  for (const Replacement& p : pieces) {
    out.append(text.substr(cursor, p.from - cursor));
    out.append(p.name);
    cursor = p.to;
  }
  out.append(text.substr(cursor));
}

}  // namespace fernquill
