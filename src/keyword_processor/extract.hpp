// Keyword extraction and replacement over UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "keyword_processor/keyword_match.hpp"
#include "keyword_processor/keyword_processor.hpp"

namespace fernquill {

// Every occurrence of a stored keyword in `text`, in ascending start order.
// Throws Fault("Threshold must be between 0 and 1") for a threshold outside
// [0, 1] or NaN. Read-only on the processor once its scan index is compiled.
std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold);

// `text` with every occurrence replaced by its clean name.
std::string replace_keywords(const KeywordProcessor& processor, std::string_view text,
                             std::optional<float> threshold);

}  // namespace fernquill
