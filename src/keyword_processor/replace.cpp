// Replacement: the text as given, with each matched span replaced by its
// clean name, built front to back in one pass.
//
// Extraction reports offsets into the scan text. For a case-insensitive
// processor that is the lower-cased text, whose characters may differ in byte
// length from the input's (U+0130 grows from two bytes to three, U+212A
// shrinks from three to one), so the offsets are mapped back to the input
// through the origin map that lower-casing builds in that case only.
//
// A span end that falls inside one input character (inside the expansion of a
// folded character, or on a continuation byte, which approximate matching can
// produce) is widened to whole input characters: every input character that
// contributed a byte to the span is replaced. A span that, once widened,
// overlaps the previously replaced characters is skipped, as is an inverted
// span (an approximate match whose only consumed byte was trimmed from both
// ends); the text there stays as given.
#include <string>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "text/utf8.hpp"

namespace fernquill {
namespace {

using utf8::is_continuation;

// Maps a scan-text span to the input characters that produced it.
class SpanMapper {
 public:
  SpanMapper(std::string_view input, std::size_t scan_size, const std::vector<std::size_t>& origin)
      : input_(input), scan_size_(scan_size), origin_(origin) {}

  std::size_t start(std::size_t s) const {
    if (!origin_.empty()) return s >= scan_size_ ? input_.size() : origin_[s];
    while (s > 0 && s < input_.size() && is_continuation(input_[s])) --s;
    return s;
  }

  std::size_t end(std::size_t e) const {
    if (!origin_.empty()) {
      if (e == 0) return 0;
      if (e >= scan_size_) return input_.size();
      if (origin_[e] != origin_[e - 1]) return origin_[e];  // e starts a character's bytes
      std::size_t c = origin_[e - 1];
      return c + utf8::sequence_length(static_cast<unsigned char>(input_[c]));
    }
    while (e < input_.size() && is_continuation(input_[e])) ++e;
    return e;
  }

 private:
  std::string_view input_;
  std::size_t scan_size_;
  const std::vector<std::size_t>& origin_;
};

}  // namespace

std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold) {
  const float t = checked_threshold(threshold);
  ScanText scan;
  make_scan_text(processor, text, t == 1.0f, true, scan);
  const std::vector<KeywordMatch> matches = scan_text(processor, scan, t);
  const std::size_t scan_size = scan.bytes.size();
  const std::vector<std::size_t>& origin = scan.origin;
  if (matches.empty()) return std::string(text);

  SpanMapper mapper(text, scan_size, origin);
  struct Piece {
    std::size_t from, to;
    std::string_view name;
  };
  std::vector<Piece> pieces;
  pieces.reserve(matches.size());
  std::size_t cursor = 0;
  std::size_t out_size = text.size();
  for (const KeywordMatch& m : matches) {
    if (m.start > m.end || m.end > scan_size) continue;
    std::size_t from = mapper.start(m.start);
    std::size_t to = mapper.end(m.end);
    if (from < cursor || to < from) continue;
    pieces.push_back({from, to, m.keyword});
    out_size += m.keyword.size();
    out_size -= to - from;
    cursor = to;
  }

  std::string out;
  out.reserve(out_size);
  cursor = 0;
  for (const Piece& p : pieces) {
    out.append(text.substr(cursor, p.from - cursor));
    out.append(p.name);
    cursor = p.to;
  }
  out.append(text.substr(cursor));
  return out;
}

}  // namespace fernquill
