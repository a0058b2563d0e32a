// One scan of a row (a column's row or a record of the command line),
// keeping the lower-cased copy's room from row to row.
#pragma once

#include <string_view>
#include <vector>

#include "keyword_processor/extract.hpp"

namespace fernquill::columns {

class RowScanner {
 public:
  RowScanner(const KeywordProcessor& processor, float threshold, const ScanOptions& options)
      : processor_(processor), threshold_(threshold), options_(options) {}

  std::vector<KeywordMatch>& scan(std::string_view row) {
    scan_.bytes = {};
    scan_.fold = false;
    scan_.folded.clear();
    scan_.lengths_changed = false;
    make_scan_text(processor_, row, threshold_ == 1.0f, scan_);
    matches_ = scan_text(processor_, scan_, threshold_, options_);
    return matches_;
  }
  // The text the last scan read, which the matches' offsets refer to.
  const ScanText& last_scan() const { return scan_; }

 private:
  const KeywordProcessor& processor_;
  float threshold_;
  const ScanOptions& options_;
  ScanText scan_;
  std::vector<KeywordMatch> matches_;
};

}  // namespace fernquill::columns
