#include "columns/row_blocks.hpp"

#include <algorithm>
#include <cstdint>

namespace fernquill::columns {
namespace {

// A chunk with offsets holds its rows' bytes one after another, so a block's
// end is found by a binary search of the offsets rather than a walk over
// every row (which the calling thread would make alone, before the pool
// starts). A null row's bytes, if any, count as its block's.
template <class Offset>
void plan_by_offsets(std::size_t c, const Offset* offsets, std::size_t rows,
                     std::size_t block_bytes, std::size_t block_rows,
                     std::vector<RowBlock>& blocks) {
  for (std::size_t begin = 0; begin < rows;) {
    const std::size_t last = std::min(rows, begin + block_rows);
    const std::int64_t budget =
        std::int64_t{offsets[begin]} + static_cast<std::int64_t>(block_bytes);
    // The first row whose end reaches the budget closes the block.
    const Offset* reached =
        std::lower_bound(offsets + begin + 1, offsets + last + 1, budget,
                         [](Offset offset, std::int64_t b) { return std::int64_t{offset} < b; });
    const std::size_t end = std::min(static_cast<std::size_t>(reached - offsets), last);
    blocks.push_back(
        {c, begin, end, static_cast<std::size_t>(std::int64_t{offsets[end]} - offsets[begin])});
    begin = end;
  }
}

void plan_by_rows(std::size_t c, const StringChunk& chunk, std::size_t block_bytes,
                  std::size_t block_rows, std::vector<RowBlock>& blocks) {
  std::size_t begin = 0, bytes = 0;
  for (std::size_t i = 0; i < chunk.size(); ++i) {
    if (!chunk.is_null(i)) bytes += chunk.row(i).size();
    if (bytes >= block_bytes || i + 1 - begin >= block_rows) {
      blocks.push_back({c, begin, i + 1, bytes});
      begin = i + 1;
      bytes = 0;
    }
  }
  if (begin < chunk.size()) blocks.push_back({c, begin, chunk.size(), bytes});
}

}  // namespace

std::vector<RowBlock> plan_row_blocks(const StringColumn& column, std::size_t block_bytes,
                                      std::size_t block_rows) {
  std::vector<RowBlock> blocks;
  for (std::size_t c = 0; c < column.chunks.size(); ++c) {
    const StringChunk& chunk = column.chunks[c];
    if (const std::int32_t* narrow = chunk.offsets32()) {
      plan_by_offsets(c, narrow, chunk.size(), block_bytes, block_rows, blocks);
    } else if (const std::int64_t* wide = chunk.offsets64()) {
      plan_by_offsets(c, wide, chunk.size(), block_bytes, block_rows, blocks);
    } else {
      plan_by_rows(c, chunk, block_bytes, block_rows, blocks);
    }
  }
  return blocks;
}

}  // namespace fernquill::columns
