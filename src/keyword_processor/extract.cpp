#include "keyword_processor/extract.hpp"

#include <cstdint>
#include <cstring>

#include "keyword_processor/lowercase.hpp"
#include "keyword_processor/scan_index.hpp"
#include "support/fault.hpp"

namespace fernquill {
namespace {

bool is_ascii(std::string_view text) {
  const char* p = text.data();
  std::size_t n = text.size();
  std::uint64_t acc = 0;
  for (; n >= 32; p += 32, n -= 32) {
    std::uint64_t w[4];
    std::memcpy(w, p, 32);
    acc |= w[0] | w[1] | w[2] | w[3];
    if (acc & 0x8080808080808080ull) return false;
  }
  for (; n > 0; ++p, --n) acc |= static_cast<unsigned char>(*p);
  return (acc & 0x8080808080808080ull) == 0;
}

}  // namespace

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
