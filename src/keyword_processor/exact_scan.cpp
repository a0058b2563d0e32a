// Exact matching over the double array: at every position allowed by the
// start test, the longest keyword along the walk is the only candidate.
#include <cstdint>

#include "keyword_processor/scan_index.hpp"

namespace fernquill {
namespace {

inline bool is_trim(std::uint8_t b) { return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20; }

template <bool kFold>
void scan(const ScanIndex& index, std::string_view text, std::vector<KeywordMatch>& out) {
  const auto& tables = kFold ? index.fold() : index.plain();
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const ScanIndex::Slot* da = index.slots();
  const bool overlaps = index.allow_overlaps();
  const std::uint32_t root_base = ScanIndex::base_of(da[ScanIndex::kRootSlot]);
  auto code = [&](std::uint8_t b) -> std::uint32_t { return kFold ? tables.code[b] : b; };

  std::size_t i = 0;
  while (i < n) {
    // Next position that passes the start test and whose byte starts a keyword.
    if (overlaps) {
      while (i < n && !tables.first[s[i]]) ++i;
    } else {
      while (i < n && !(tables.first[s[i]] && (i == 0 || !tables.word[s[i - 1]]))) ++i;
    }
    if (i >= n) break;
    // The walk: the last keyword slot met is the candidate.
    std::uint32_t node = ScanIndex::kRootSlot, base = root_base, found = 0;
    std::size_t end = 0;
    for (std::size_t j = i; j < n; ++j) {
      const std::uint32_t t = base + code(s[j]);
      const ScanIndex::Slot v = da[t];
      if (ScanIndex::check_of(v) != node) break;
      node = t;
      base = ScanIndex::base_of(v);
      if (v & ScanIndex::kKeywordBit) {
        found = t;
        end = j + 1;
      }
    }
    if (found != 0 && (end == n || overlaps || !tables.word[s[end]])) {
      out.push_back({index.slot_name(found), 1.0f, is_trim(s[i]) ? i + 1 : i, end});
      i = end;
    } else {
      ++i;
    }
  }
}

}  // namespace

void scan_exact(const ScanIndex& index, std::string_view text, bool fold,
                std::vector<KeywordMatch>& out) {
  if (fold) {
    scan<true>(index, text, out);
  } else {
    scan<false>(index, text, out);
  }
}

}  // namespace fernquill
