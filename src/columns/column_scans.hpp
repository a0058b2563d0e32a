// The three column operations over an imported column, run block by block
// on the worker pool. Plain C++: the caller holds a shared borrow of the
// processor and owns the column for the whole call.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "arrow/arrow_export.hpp"
#include "arrow/string_column.hpp"
#include "columns/place_counts.hpp"
#include "exact/scan_options.hpp"
#include "keyword_processor/keyword_processor.hpp"

namespace fernquill::columns {

enum class OffsetUnit { kChars, kBytes };

// The keyword-only options of the column calls. New options go here, with
// defaults that give the module's own behaviour.
struct ColumnOptions {
  OffsetUnit offsets = OffsetUnit::kChars;
  ScanOptions scan;  // how rows are scanned (word rules)
};

// `threshold` is already checked (checked_threshold).
std::shared_ptr<ResultColumn> extract_column(const KeywordProcessor& processor,
                                             const StringColumn& column, float threshold,
                                             const ColumnOptions& options);
std::shared_ptr<ResultColumn> replace_column(const KeywordProcessor& processor,
                                             const StringColumn& column, float threshold,
                                             const ColumnOptions& options);
// The clean names of each row's matches, as list<string>.
std::shared_ptr<ResultColumn> names_column(const KeywordProcessor& processor,
                                           const StringColumn& column, float threshold,
                                           const ColumnOptions& options);
// Whether each row has a match, as bool.
std::shared_ptr<ResultColumn> contains_column(const KeywordProcessor& processor,
                                              const StringColumn& column, float threshold,
                                              const ColumnOptions& options);
// Matches per clean name, in the order of each name's first match in the
// column (as a Counter of the matches has them); the names view the
// processor's store, so they are valid while the borrow lasts.
using NameCounts = std::vector<NameCount>;
NameCounts count_column(const KeywordProcessor& processor, const StringColumn& column,
                        float threshold, const ColumnOptions& options);

}  // namespace fernquill::columns
