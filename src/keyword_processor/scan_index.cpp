#include "keyword_processor/scan_index.hpp"

#include "keyword_processor/keyword_processor.hpp"

namespace fernquill {

ScanIndex::ScanIndex(const KeywordProcessor& processor) : processor_(processor) {
  for (std::uint32_t b = 0; b < 256; ++b) word_byte_[b] = processor.word_set().contains(b) ? 1 : 0;
}

}  // namespace fernquill
