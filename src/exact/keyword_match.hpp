// One keyword occurrence as the engine reports it. `keyword` views a clean
// name held by the processor and is valid only while the processor is
// unchanged, that is within the call that produced it.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

namespace fernquill {

struct KeywordMatch {
  std::string_view keyword;
  float similarity;
  std::size_t start;  // byte offset into the scan text, inclusive
  std::size_t end;    // byte offset into the scan text, exclusive
};

// Takes the matches of a scan a piece at a time, in scan order, so that a
// caller turning them into objects of its own needs no vector of them all.
// A piece is valid only during the call. `take` may throw; the scan then
// stops and the exception passes through.
struct MatchSink {
  void (*take)(void* context, std::span<const KeywordMatch> piece);
  void* context;
  void operator()(std::span<const KeywordMatch> piece) const { take(context, piece); }
};

}  // namespace fernquill
