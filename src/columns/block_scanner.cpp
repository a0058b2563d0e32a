#include "columns/block_scanner.hpp"

#include <array>

#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace fernquill::columns {
namespace {

// The bytes that never occur in UTF-8: C0 and C1 would start overlong
// forms, F5 to FF code points past U+10FFFF or no sequence at all.
constexpr std::array<unsigned char, 13> kNeverUtf8 = {0xFF, 0xFE, 0xFD, 0xFC, 0xFB, 0xFA, 0xF9,
                                                      0xF8, 0xF7, 0xF6, 0xF5, 0xC1, 0xC0};

}  // namespace

std::optional<char> joined_rows_separator(const KeywordProcessor& processor, float threshold) {
  if (threshold != 1.0f) return std::nullopt;
  for (const unsigned char b : kNeverUtf8) {
    // The byte tests read the set at the byte's value (fold tables too: no
    // byte past ASCII has another lower case there).
    if (!processor.word_set().contains(b)) return static_cast<char>(b);
  }
  return std::nullopt;
}

BlockScanner::BlockScanner(const KeywordProcessor& processor, float threshold,
                           const ScanOptions& options)
    : processor_(processor),
      threshold_(threshold),
      options_(options),
      separator_(joined_rows_separator(processor, threshold)),
      alone_(processor, threshold, options) {}

bool BlockScanner::checked_ascii(std::string_view row) {
  if (is_ascii(row)) return true;
  if (utf8::find_error(row)) throw MalformedColumn("a row of the column is not valid UTF-8");
  return false;
}

// A case-insensitive scan reads ASCII rows through the index's fold tables,
// as a scan of a single ASCII row does, and other rows lower-cased. Folding
// a lower-cased row again changes nothing: no character's lower case holds
// an ASCII capital, and the fold tables leave every other byte as it is.
void BlockScanner::join(std::string_view row, bool ascii) {
  const std::size_t at = joined_.size();
  bool lengths_changed = false;
  if (processor_.case_sensitive() || ascii) {
    joined_.append(row);
  } else {
    lengths_changed = !lower_utf8(row, joined_);
  }
  run_.push_back(Entry{row, at, joined_.size() - at, ascii, lengths_changed, false});
  joined_.push_back(*separator_);
}

void BlockScanner::scan_joined() {
  ScanText text;
  text.bytes = joined_;
  text.fold = !processor_.case_sensitive();
  scan_text(processor_, text, threshold_, options_, matches_);
}

}  // namespace fernquill::columns
