#include "tools_native/column_scans.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <vector>

#include "keyword_processor/extract.hpp"
#include "text/lowercase.hpp"
#include "text/utf8.hpp"
#include "tools_native/char_offsets.hpp"
#include "tools_native/place_counts.hpp"
#include "tools_native/row_blocks.hpp"
#include "tools_native/row_scanner.hpp"

namespace fernquill::columns {
namespace {

// Arrow promises UTF-8 but cannot enforce it; the scans need it. Returns
// whether the row is ASCII, which every later step of a row asks.
bool checked_ascii(std::string_view row) {
  if (is_ascii(row)) return true;
  if (utf8::find_error(row)) throw MalformedColumn("a row of the column is not valid UTF-8");
  return false;
}

// Calls on_row(row, ascii) or on_null() for each row of the block, in order.
template <class OnRow, class OnNull>
void for_each_row(const StringColumn& column, const RowBlock& block, OnRow&& on_row,
                  OnNull&& on_null) {
  const StringChunk& chunk = column.chunks[block.chunk];
  for (std::size_t i = block.begin; i < block.end; ++i) {
    if (chunk.is_null(i)) {
      on_null();
      continue;
    }
    const std::string_view row = chunk.row(i);
    on_row(row, checked_ascii(row));
  }
}

// Runs fill(block, out) for every block on the pool; one output per block.
template <class Out, class Fill>
std::vector<Out> scan_blocks(const StringColumn& column, Fill&& fill) {
  const std::vector<RowBlock> blocks = plan_row_blocks(column);
  std::vector<Out> out(blocks.size());
  run_blocks(blocks.size(), [&](std::size_t i) { fill(blocks[i], out[i]); });
  return out;
}

template <class Offset>
std::shared_ptr<ResultColumn> replace_into(const KeywordProcessor& processor,
                                           const StringColumn& column, float threshold,
                                           const ScanOptions& options) {
  using Block = StringsBlock<Offset>;
  return make_strings_column(scan_blocks<Block>(column, [&](const RowBlock& b, Block& out) {
    RowScanner scanner(processor, threshold, options);
    std::vector<Replacement> pieces;
    // Most rows keep about their length. The bytes of a block of offsets
    // include what its null rows claim, which nothing reads or checks: no
    // more than a block's worth is taken on their word.
    out.reserve(b.end - b.begin, std::min(b.bytes, kBlockBytes));
    for_each_row(
        column, b,
        [&](std::string_view row, bool ascii) {
          const std::vector<KeywordMatch>& found = scanner.scan(row, ascii);
          replacements_of(row, scanner.last_scan(), found, pieces);
          out.append_replaced(row, pieces);
        },
        [&] { out.append_null(); });
  }));
}

}  // namespace

std::shared_ptr<ResultColumn> extract_column(const KeywordProcessor& processor,
                                             const StringColumn& column, float threshold,
                                             const ColumnOptions& options) {
  const bool chars = options.offsets == OffsetUnit::kChars;
  return make_extract_column(
      scan_blocks<ExtractBlock>(column, [&](const RowBlock& b, ExtractBlock& out) {
        RowScanner scanner(processor, threshold, options.scan);
        out.reserve_rows(b.end - b.begin);
        for_each_row(
            column, b,
            [&](std::string_view row, bool ascii) {
              std::vector<KeywordMatch>& found = scanner.scan(row, ascii);
              // On ASCII rows bytes are characters.
              if (chars && !ascii) to_char_offsets(row, scanner.last_scan(), found);
              out.append_row(found);
            },
            [&] { out.append_null(); });
      }));
}

std::shared_ptr<ResultColumn> replace_column(const KeywordProcessor& processor,
                                             const StringColumn& column, float threshold,
                                             const ColumnOptions& options) {
  // Large input offsets give large output offsets: a replaced row is as
  // likely to outgrow 32 bits as the input was.
  if (column.large) return replace_into<std::int64_t>(processor, column, threshold, options.scan);
  return replace_into<std::int32_t>(processor, column, threshold, options.scan);
}

// The scan of every row of the column into one block type, block by block:
// take(block, scanner, row, ascii) appends a row's result.
template <class Block, class Take>
std::vector<Block> row_results(const KeywordProcessor& processor, const StringColumn& column,
                               float threshold, const ScanOptions& options, Take&& take) {
  return scan_blocks<Block>(column, [&](const RowBlock& b, Block& out) {
    RowScanner scanner(processor, threshold, options);
    out.reserve_rows(b.end - b.begin);
    for_each_row(
        column, b, [&](std::string_view row, bool ascii) { take(out, scanner, row, ascii); },
        [&] { out.append_null(); });
  });
}

std::shared_ptr<ResultColumn> names_column(const KeywordProcessor& processor,
                                           const StringColumn& column, float threshold,
                                           const ColumnOptions& options) {
  return make_names_column(
      row_results<NamesBlock>(processor, column, threshold, options.scan,
                              [](NamesBlock& out, RowScanner& scanner, std::string_view row,
                                 bool ascii) { out.append_row(scanner.scan(row, ascii)); }));
}

std::shared_ptr<ResultColumn> contains_column(const KeywordProcessor& processor,
                                              const StringColumn& column, float threshold,
                                              const ColumnOptions& options) {
  return make_flags_column(
      row_results<FlagsBlock>(processor, column, threshold, options.scan,
                              [](FlagsBlock& out, RowScanner& scanner, std::string_view row,
                                 bool ascii) { out.append(!scanner.scan(row, ascii).empty()); }));
}

NameCounts count_column(const KeywordProcessor& processor, const StringColumn& column,
                        float threshold, const ColumnOptions& options) {
  std::vector<PlaceCounts> per_block =
      scan_blocks<PlaceCounts>(column, [&](const RowBlock& b, PlaceCounts& out) {
        RowScanner scanner(processor, threshold, options.scan);
        for_each_row(
            column, b,
            [&](std::string_view row, bool ascii) {
              for (const KeywordMatch& m : scanner.scan(row, ascii)) out.add(m.keyword);
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
