// One scan of a row (a column's row or a record of the command line),
// keeping the lower-cased copy's and the matches' room from row to row.
#pragma once

#include <string_view>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "text/lowercase.hpp"

namespace fernquill::columns {

class RowScanner {
 public:
  RowScanner(const KeywordProcessor& processor, float threshold, const ScanOptions& options)
      : processor_(processor), threshold_(threshold), options_(options) {}

  std::vector<KeywordMatch>& scan(std::string_view row) { return scan(row, is_ascii(row)); }
  // For a caller that has tested the row already: `ascii` is is_ascii(row).
  std::vector<KeywordMatch>& scan(std::string_view row, bool ascii) {
    scan_.bytes = {};
    scan_.fold = false;
    scan_.folded.clear();
    scan_.lengths_changed = false;
    ascii_ = ascii;
    make_scan_text(processor_, row, threshold_ == 1.0f, ascii, scan_);
    scan_text(processor_, scan_, threshold_, options_, matches_);
    return matches_;
  }
  // The text the last scan read, which the matches' offsets refer to.
  const ScanText& last_scan() const { return scan_; }
  // Whether the last row scanned was ASCII: its byte offsets are then its
  // character indices.
  bool last_row_ascii() const { return ascii_; }

 private:
  const KeywordProcessor& processor_;
  float threshold_;
  const ScanOptions& options_;
  ScanText scan_;
  std::vector<KeywordMatch> matches_;
  bool ascii_ = true;
};

}  // namespace fernquill::columns
