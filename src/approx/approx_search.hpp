// The approximate scan behind extract_keywords for thresholds below 1.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "approx/approx_index.hpp"
#include "approx/fewest_edits.hpp"
#include "exact/keyword_match.hpp"

namespace fernquill {

// Counts of one approximate scan, for tests and benchmarks.
struct ApproxStats {
  std::uint64_t states = 0;    // search states taken off the stack
  std::uint64_t starts = 0;    // positions that passed the start test
  std::uint64_t filtered = 0;  // of them, positions the piece filter ruled out
  std::uint64_t searched = 0;  // of them, positions where the edit search ran
  std::uint64_t recalled = 0;  // of them, positions given a remembered search's result
  std::uint64_t resumed = 0;   // searches begun at a remembered frontier
  std::uint64_t dense = 0;     // searches whose seen pairs went on in dense rows
  std::uint64_t ended = 0;     // searches that left out states beyond reach of the text's end
};

// The scan over a scan text already made.
void scan_approximate(const ApproxIndex& index, std::string_view text, float threshold,
                      std::vector<KeywordMatch>& out);
// The same scan, also counting its work.
void scan_approximate_counted(const ApproxIndex& index, std::string_view text, float threshold,
                              std::vector<KeywordMatch>& out, ApproxStats& stats);

// For tests: the scan's shortcuts, each of which must leave every result as
// it is, switched on or off.
struct ApproxSwitches {
  bool filter = true;  // the piece filter (rule (e))
  bool memos = true;   // the result memo and the frontier memo
  SeenLimits seen;     // where the table of seen pairs turns to rows, and stops
};
void scan_approximate_switched(const ApproxIndex& index, std::string_view text, float threshold,
                               std::vector<KeywordMatch>& out, ApproxStats& stats,
                               const ApproxSwitches& switches);

}  // namespace fernquill
