// The scan of one block of a column, handing each row's matches on in row
// order. Short rows of an exact scan are joined into one text, a separator
// after each, and scanned with one call: a 20-byte row costs the engine's
// per-call set-up otherwise, more than its scan. Long rows, approximate
// scans, and processors with no usable separator scan row by row.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "arrow/string_column.hpp"
#include "columns/row_scanner.hpp"
#include "keyword_processor/extract.hpp"

namespace fernquill::columns {

// Rows longer than this are scanned where they lie: joining them would copy
// them for a set-up cost that their own scan dwarfs.
inline constexpr std::size_t kJoinedRowMax = std::size_t{16} << 10;

// The byte that may stand between joined rows for this scan, if any.
//
// Why the joined scan finds what the row-by-row scans find: the separator is
// a byte that never occurs in UTF-8 (rows are checked to be UTF-8, keywords
// are UTF-8), so no keyword's path holds it and no walk crosses it, and no
// match can contain it. Every word test then sees it as a text's edge:
//  - the byte tests of the default scan, the fallback and the overlap-free
//    walks ask the word-character set about the byte value; the separator
//    is chosen among the bytes that are not in it (a user can add U+00FF,
//    and so make byte 0xFF a word byte; then another is taken, and when all
//    thirteen are in the set, the rows are scanned one by one);
//  - the character tests decode the characters beside a match; a byte that
//    starts no valid character counts as a non-word character, as the edge
//    of the text does, and is no continuation byte, so a row's first byte
//    is a character boundary there as at the start of a text.
// Approximate scans stay row by row: an edit may insert or substitute any
// byte, so an approximate match could reach across the separator into the
// next row.
std::optional<char> joined_rows_separator(const KeywordProcessor& processor, float threshold);

// One row as the scan saw it: its bytes, whether they are ASCII, its
// matches (offsets into `scan`, the row's own scan text) and that scan text.
struct ScannedRow {
  std::string_view row;
  bool ascii;
  std::span<KeywordMatch> matches;
  const ScanText& scan;
};

class BlockScanner {
 public:
  BlockScanner(const KeywordProcessor& processor, float threshold, const ScanOptions& options);

  // Calls on_row(const ScannedRow&) or on_null() for each row of the block,
  // in order. Throws MalformedColumn for a row that is not UTF-8.
  // (`block`: a RowBlock, named by its fields so that this header holds no
  // Python: the command line's searcher, plain C++, scans rows with it too.)
  template <class Block, class OnRow, class OnNull>
  void scan(const StringChunk& chunk, const Block& block, OnRow&& on_row, OnNull&& on_null) {
    for (std::size_t i = block.begin; i < block.end; ++i) {
      if (chunk.is_null(i)) {
        add_null(on_null);
      } else {
        const std::string_view row = chunk.row(i);
        add(row, checked_ascii(row), on_row, on_null);
      }
    }
    finish(on_row, on_null);
  }

  // The same a row at a time, for rows already known to be UTF-8 (`ascii`:
  // is_ascii(row)), which must stay in place until their on_row call: each
  // row's call comes in order, the last ones from finish().
  template <class OnRow, class OnNull>
  void add(std::string_view row, bool ascii, OnRow& on_row, OnNull& on_null) {
    if (joining() && row.size() <= kJoinedRowMax) {
      join(row, ascii);
      return;
    }
    flush(on_row, on_null);
    scan_alone(row, ascii, on_row);
  }
  template <class OnNull>
  void add_null(OnNull& on_null) {
    if (joining()) {
      run_.push_back(Entry{{}, 0, 0, true, false, true});
    } else {
      on_null();
    }
  }
  template <class OnRow, class OnNull>
  void finish(OnRow& on_row, OnNull& on_null) {
    flush(on_row, on_null);
  }

  // Arrow promises UTF-8 but cannot enforce it; the scans need it. Returns
  // whether the row is ASCII, which every later step of a row asks.
  static bool checked_ascii(std::string_view row);

 private:
  // A row waiting in the joined text: where its scan text lies there.
  struct Entry {
    std::string_view row;
    std::size_t at, size;
    bool ascii, lengths_changed, null;
  };

  bool joining() const { return separator_.has_value(); }
  void join(std::string_view row, bool ascii);
  // Scans the joined text.
  void scan_joined();

  template <class OnRow>
  void scan_alone(std::string_view row, bool ascii, OnRow& on_row) {
    std::vector<KeywordMatch>& found = alone_.scan(row, ascii);
    on_row(ScannedRow{row, ascii, found, alone_.last_scan()});
  }

  // Scans the rows waiting and hands them on. Matches come in ascending
  // start order and none contains a separator, so each row's matches are
  // the ones that follow the previous row's and end by its end: one forward
  // pass rebases them in place. (Not "start before its end": a match of a
  // keyword that begins with a space reports its start one past it, so a
  // lone " " at a row's end starts at that end. A later row's match starts
  // after the separator and so ends after it.)
  template <class OnRow, class OnNull>
  void flush(OnRow& on_row, OnNull& on_null) {
    if (run_.empty()) return;
    scan_joined();
    std::size_t m = 0;
    for (const Entry& e : run_) {
      if (e.null) {
        on_null();
        continue;
      }
      const std::size_t first = m;
      for (; m < matches_.size() && matches_[m].end <= e.at + e.size; ++m) {
        matches_[m].start -= e.at;
        matches_[m].end -= e.at;
      }
      row_scan_.bytes = std::string_view(joined_).substr(e.at, e.size);
      row_scan_.lengths_changed = e.lengths_changed;
      on_row(ScannedRow{e.row, e.ascii, std::span(matches_).subspan(first, m - first), row_scan_});
    }
    run_.clear();
    joined_.clear();
  }

  const KeywordProcessor& processor_;
  float threshold_;
  const ScanOptions& options_;
  std::optional<char> separator_;
  RowScanner alone_;
  std::vector<Entry> run_;
  std::string joined_;
  std::vector<KeywordMatch> matches_;
  ScanText row_scan_;  // a joined row's scan text, as the callers see it
};

}  // namespace fernquill::columns
