#include "keyword_processor/extract.hpp"

#include "keyword_processor/scan_index.hpp"
#include "support/fault.hpp"
#include "text/lowercase.hpp"

namespace fernquill {

std::vector<KeywordMatch> extract_keywords(const KeywordProcessor& processor, std::string_view text,
                                           std::optional<float> threshold) {
  const float t = threshold.value_or(1.0f);
  if (!(t >= 0.0f && t <= 1.0f)) throw Fault("Threshold must be between 0 and 1");
  std::vector<KeywordMatch> out;
  if (text.empty()) return out;
  const ScanIndex& index = processor.scan_index();
  const bool exact = t == 1.0f;

  // Case-sensitive scans read the text in place. A case-insensitive exact
  // scan of pure ASCII folds each byte through the index's tables instead of
  // copying; anything else scans the lower-cased copy.
  std::string folded;
  std::string_view scan = text;
  bool fold = false;
  if (!processor.case_sensitive()) {
    if (exact && is_ascii(text)) {
      fold = true;
    } else {
      lower_utf8(text, folded);
      scan = folded;
    }
  }
  if (exact) {
    scan_exact(index, scan, fold, out);
  } else {
    scan_approximate(index, scan, t, out);
  }
  return out;
}

}  // namespace fernquill
