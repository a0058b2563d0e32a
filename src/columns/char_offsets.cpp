#include "columns/char_offsets.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace fernquill::columns {
namespace {

// The continuation bytes (10xxxxxx) among n bytes, eight at a time: a byte's
// top bit set and the bit below it clear.
std::size_t continuation_bytes(const char* p, std::size_t n) {
  constexpr std::uint64_t kTopBits = 0x8080808080808080ull;
  std::size_t count = 0;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    count += static_cast<std::size_t>(std::popcount(w & ~(w << 1) & kTopBits));
  }
  for (; n > 0; ++p, --n) count += utf8::is_continuation(*p);
  return count;
}

// Counts the characters that start before an input byte offset, for offsets
// asked in ascending order: one walk of the row in all.
class CharCounter {
 public:
  explicit CharCounter(std::string_view row) : row_(row) {}
  std::size_t before(std::size_t offset) {
    if (offset > cursor_) {
      const std::size_t n = offset - cursor_;
      chars_ += n - continuation_bytes(row_.data() + cursor_, n);
      cursor_ = offset;
    }
    return chars_;
  }

 private:
  std::string_view row_;
  std::size_t cursor_ = 0, chars_ = 0;
};

// Maps scan-text offsets, asked in ascending order, to character indices.
class OffsetMapper {
 public:
  OffsetMapper(std::string_view row, const ScanText& scan)
      : row_(row), scan_size_(scan.bytes.size()), counter_(row) {
    // The scan text differs in byte structure from the row only when some
    // character's lower case has another length; then walk both together.
    if (scan.lengths_changed) walk_.emplace(row);
  }
  std::size_t as_start(std::size_t byte) { return map(byte, false); }
  std::size_t as_end(std::size_t byte) { return map(byte, true); }

 private:
  std::size_t map(std::size_t byte, bool is_end) {
    if (byte >= scan_size_) return counter_.before(row_.size());
    if (walk_) {
      walk_->seek(byte);
      const std::size_t start = counter_.before(walk_->input_offset());
      return is_end ? start + (byte != walk_->scan_offset()) : start;
    }
    const std::size_t end = counter_.before(byte);
    return is_end ? end : end - (byte < row_.size() && utf8::is_continuation(row_[byte]));
  }

  std::string_view row_;
  std::size_t scan_size_;
  CharCounter counter_;
  std::optional<LoweredOffsets> walk_;
};

// Whether start, end, next start, ... never decrease: true of every scan
// without overlaps, whose matches follow one another.
bool offsets_ascend(std::span<const KeywordMatch> matches) {
  std::size_t last = 0;
  for (const KeywordMatch& m : matches) {
    if (m.start < last || m.end < m.start) return false;
    last = m.end;
  }
  return true;
}

struct Probe {
  std::size_t byte;
  KeywordMatch* match;
  bool is_end;
};

// Overlapping matches: their offsets are sorted first, in a buffer kept by
// the thread from row to row.
void map_sorted(OffsetMapper& mapper, std::span<KeywordMatch> matches) {
  thread_local std::vector<Probe> probes;
  probes.clear();
  for (KeywordMatch& m : matches) {
    probes.push_back({m.start, &m, false});
    probes.push_back({m.end, &m, true});
  }
  std::sort(probes.begin(), probes.end(),
            [](const Probe& a, const Probe& b) { return a.byte < b.byte; });
  for (const Probe& p : probes) {
    if (p.is_end) {
      p.match->end = mapper.as_end(p.byte);
    } else {
      p.match->start = mapper.as_start(p.byte);
    }
  }
}

}  // namespace

void to_char_offsets(std::string_view row, const ScanText& scan, std::span<KeywordMatch> matches) {
  if (matches.empty() || is_ascii(row)) return;  // bytes are characters
  OffsetMapper mapper(row, scan);
  if (!offsets_ascend(matches)) {
    map_sorted(mapper, matches);
    return;
  }
  for (KeywordMatch& m : matches) {
    m.start = mapper.as_start(m.start);
    m.end = mapper.as_end(m.end);
  }
}

}  // namespace fernquill::columns
