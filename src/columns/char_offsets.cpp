#include "columns/char_offsets.hpp"

#include <algorithm>
#include <optional>
#include <vector>

#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace fernquill::columns {
namespace {

// Counts the characters that start before an input byte offset, for offsets
// asked in ascending order.
class CharCounter {
 public:
  explicit CharCounter(std::string_view row) : row_(row) {}
  std::size_t before(std::size_t offset) {
    for (; cursor_ < offset; ++cursor_) chars_ += !utf8::is_continuation(row_[cursor_]);
    return chars_;
  }

 private:
  std::string_view row_;
  std::size_t cursor_ = 0, chars_ = 0;
};

struct Probe {
  std::size_t byte;
  KeywordMatch* match;
  bool is_end;
};

}  // namespace

void to_char_offsets(std::string_view row, const ScanText& scan, std::span<KeywordMatch> matches) {
  if (matches.empty() || is_ascii(row)) return;  // bytes are characters
  std::vector<Probe> probes;
  probes.reserve(matches.size() * 2);
  for (KeywordMatch& m : matches) {
    probes.push_back({m.start, &m, false});
    probes.push_back({m.end, &m, true});
  }
  std::sort(probes.begin(), probes.end(),
            [](const Probe& a, const Probe& b) { return a.byte < b.byte; });

  const std::size_t scan_size = scan.bytes.size();
  CharCounter counter(row);
  const std::size_t row_chars = CharCounter(row).before(row.size());
  // The scan text differs in byte structure from the row only when some
  // character's lower case has another length; then walk both together.
  std::optional<LoweredOffsets> walk;
  if (scan.lengths_changed) walk.emplace(row);
  for (const Probe& p : probes) {
    std::size_t as_start, as_end;
    if (p.byte >= scan_size) {
      as_start = as_end = row_chars;
    } else if (walk) {
      walk->seek(p.byte);
      as_start = counter.before(walk->input_offset());
      as_end = as_start + (p.byte != walk->scan_offset());
    } else {
      as_end = counter.before(p.byte);
      as_start = as_end - (p.byte < row.size() && utf8::is_continuation(row[p.byte]));
    }
    (p.is_end ? p.match->end : p.match->start) = p.is_end ? as_end : as_start;
  }
}

}  // namespace fernquill::columns
