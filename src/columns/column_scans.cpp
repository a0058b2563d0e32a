#include "columns/column_scans.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "columns/block_scanner.hpp"
#include "columns/char_offsets.hpp"
#include "columns/place_counts.hpp"
#include "columns/row_blocks.hpp"
#include "keyword_processor/extract.hpp"
#include "text/lowercase.hpp"
#include "text/utf8.hpp"

namespace fernquill::columns {
namespace {

// Runs fill(block, out) for every block on the pool; one output per block.
template <class Out, class Fill>
std::vector<Out> scan_blocks(const StringColumn& column, Fill&& fill) {
  const std::vector<RowBlock> blocks = plan_row_blocks(column);
  std::vector<Out> out(blocks.size());
  run_blocks(blocks.size(), [&](std::size_t i) { fill(blocks[i], out[i]); });
  return out;
}

// Every row's result appended to one block type, block by block:
// take(out, scanned_row) appends a row's.
template <class Block, class Take>
std::vector<Block> row_results(const KeywordProcessor& processor, const StringColumn& column,
                               float threshold, const ScanOptions& options, Take&& take) {
  return scan_blocks<Block>(column, [&](const RowBlock& b, Block& out) {
    BlockScanner scanner(processor, threshold, options);
    out.reserve_rows(b.end - b.begin);
    scanner.scan(
        column.chunks[b.chunk], b, [&](const ScannedRow& r) { take(out, r); },
        [&] { out.append_null(); });
  });
}

}  // namespace

std::shared_ptr<ResultColumn> replace_column(const KeywordProcessor& processor,
                                             const StringColumn& column, float threshold,
                                             const ColumnOptions& options) {
  return make_strings_column(scan_blocks<StringsBlock>(column, [&](const RowBlock& b,
                                                                   StringsBlock& out) {
    // Large input offsets give large output offsets: a replaced row is as
    // likely to outgrow 32 bits as the input was.
    if (column.large) out.offsets.widen();
    BlockScanner scanner(processor, threshold, options.scan);
    std::vector<Replacement> pieces;
    // Most rows keep about their length. The bytes of a block of offsets
    // include what its null rows claim, which nothing reads or checks: no
    // more than a block's worth is taken on their word.
    out.reserve(b.end - b.begin, std::min(b.bytes, kBlockBytes));
    scanner.scan(
        column.chunks[b.chunk], b,
        [&](const ScannedRow& r) {
          replacements_of(r.row, r.scan, r.matches, pieces);
          out.append_replaced(r.row, pieces);
        },
        [&] { out.append_null(); });
  }));
}

std::shared_ptr<ResultColumn> extract_column(const KeywordProcessor& processor,
                                             const StringColumn& column, float threshold,
                                             const ColumnOptions& options) {
  const bool chars = options.offsets == OffsetUnit::kChars;
  return make_extract_column(row_results<ExtractBlock>(
      processor, column, threshold, options.scan, [&](ExtractBlock& out, const ScannedRow& r) {
        // On ASCII rows bytes are characters.
        if (chars && !r.ascii) to_char_offsets(r.row, r.scan, r.matches);
        out.append_row(r.matches);
      }));
}

std::shared_ptr<ResultColumn> names_column(const KeywordProcessor& processor,
                                           const StringColumn& column, float threshold,
                                           const ColumnOptions& options) {
  return make_names_column(row_results<NamesBlock>(
      processor, column, threshold, options.scan,
      [](NamesBlock& out, const ScannedRow& r) { out.append_row(r.matches); }));
}

std::shared_ptr<ResultColumn> contains_column(const KeywordProcessor& processor,
                                              const StringColumn& column, float threshold,
                                              const ColumnOptions& options) {
  return make_flags_column(row_results<FlagsBlock>(
      processor, column, threshold, options.scan,
      [](FlagsBlock& out, const ScannedRow& r) { out.append(!r.matches.empty()); }));
}

NameCounts count_column(const KeywordProcessor& processor, const StringColumn& column,
                        float threshold, const ColumnOptions& options) {
  std::vector<PlaceCounts> per_block =
      scan_blocks<PlaceCounts>(column, [&](const RowBlock& b, PlaceCounts& out) {
        BlockScanner scanner(processor, threshold, options.scan);
        scanner.scan(
            column.chunks[b.chunk], b,
            [&](const ScannedRow& r) {
              for (const KeywordMatch& m : r.matches) out.add(m.keyword);
            },
            [] {});
      });
  // Two stored names may be equal: the total counts by their text.
  NameCounts total;
  std::unordered_map<std::string_view, std::size_t> position;
  for (const PlaceCounts& block : per_block) {
    for (const NameCount& c : block.counts()) {
      const auto [at, added] = position.try_emplace(c.name, total.size());
      if (added) {
        total.push_back(c);
      } else {
        total[at->second].n += c.n;
      }
    }
  }
  return total;
}

}  // namespace fernquill::columns
