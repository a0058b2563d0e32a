#include "tools_native/row_blocks.hpp"

namespace fernquill::columns {

std::vector<RowBlock> plan_row_blocks(const StringColumn& column, std::size_t block_bytes,
                                      std::size_t block_rows) {
  std::vector<RowBlock> blocks;
  for (std::size_t c = 0; c < column.chunks.size(); ++c) {
    const StringChunk& chunk = column.chunks[c];
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
  return blocks;
}

}  // namespace fernquill::columns
