// One keyword occurrence as the engine reports it. `keyword` views a clean
// name held by the processor and is valid only while the processor is
// unchanged, that is within the call that produced it.
#pragma once

#include <cstddef>
#include <string_view>

namespace fernquill {

struct KeywordMatch {
  std::string_view keyword;
  float similarity;
  std::size_t start;  // byte offset into the scan text, inclusive
  std::size_t end;    // byte offset into the scan text, exclusive
};

}  // namespace fernquill
