// The scans for non-default ScanOptions. Kept apart from the module's own
// scans (exact_scan.cpp, approx_search.cpp) so that those stay as fast as
// they are: the options are decided once per call, never per byte there.
#pragma once

#include <string_view>
#include <vector>

#include "exact/keyword_match.hpp"
#include "exact/scan_index.hpp"
#include "exact/scan_options.hpp"
#include "exact/word_set.hpp"

namespace fernquill {

// Exact matching with `options` over the compiled index of the processor
// whose word-character set is `words`. `fold` as for scan_exact. The index
// must not allow overlaps (then the word tests, and so the options, are off).
// With a `sink`, the matches are handed over in pieces as scan_exact hands
// them, so a long text holds no list of them.
void scan_exact_with_options(const ScanIndex& index, const WordSet& words, std::string_view text,
                             bool fold, const ScanOptions& options, std::vector<KeywordMatch>& out,
                             const MatchSink* sink = nullptr);

// Removes the matches that the character word test rejects: a match whose
// start or end cuts a character, or that has a word character right before
// its start or at its end. For approximate matches, which are found by the
// byte tests and then held to the character tests.
void keep_unicode_whole_words(const ScanIndex& index, const WordSet& words, std::string_view text,
                              std::vector<KeywordMatch>& matches);

}  // namespace fernquill
