// Exact matching over the double array: at every position allowed by the
// start test, the longest keyword along the walk is the only candidate.
#include <algorithm>
#include <cstdint>
#include <memory>

#include "keyword_processor/scan_index.hpp"

namespace fernquill {
namespace {

inline bool is_trim(std::uint8_t b) { return b == 0x09 || b == 0x0A || b == 0x0D || b == 0x20; }

// The walks from all candidate positions of a chunk advance together, one
// byte per round, so that their trie loads (mostly cache misses on a large
// store) overlap instead of waiting on each other. A walk's result depends
// only on its start, not on where the scan resumed, so walks may run ahead;
// the results are then taken in text order exactly as a sequential scan
// would: a candidate inside an accepted span is passed over.
constexpr std::size_t kChunk = 4096;

template <bool kFold>
void scan_interleaved(const ScanIndex& index, std::string_view text,
                      std::vector<KeywordMatch>& out) {
  const auto& tables = kFold ? index.fold() : index.plain();
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const ScanIndex::Slot* da = index.slots();
  const bool overlaps = index.allow_overlaps();
  const std::uint32_t root_base = ScanIndex::base_of(da[ScanIndex::kRootSlot]);
  auto code = [&](std::uint8_t b) -> std::uint32_t { return kFold ? tables.code[b] : b; };

  // Per walk: start, cursor, current slot and its base, and the last
  // keyword slot met with the end offset after it.
  struct Walk {
    std::size_t start;
    std::size_t cursor;
    std::size_t end;
    std::uint32_t node;
    std::uint32_t base;
    std::uint32_t found;
  };
  // Working storage for one chunk, left uninitialised: a short text must
  // not pay for clearing buffers sized for a long one.
  const std::size_t room = std::min(n, kChunk);
  std::unique_ptr<std::size_t[]> starts(new std::size_t[room]);
  std::unique_ptr<Walk[]> walks(new Walk[room]);
  std::unique_ptr<std::uint32_t[]> active(new std::uint32_t[room]);
  std::unique_ptr<std::uint32_t[]> next(new std::uint32_t[room]);

  std::size_t resume = 0;
  for (std::size_t chunk = 0; chunk < n; chunk += kChunk) {
    const std::size_t limit = std::min(n, chunk + kChunk);
    // Positions that pass the start test and whose byte starts a keyword;
    // the first step of the walk is taken here.
    std::size_t count = 0;
    std::size_t i = std::max(chunk, resume);
    if (overlaps) {
      for (; i < limit; ++i) {
        starts[count] = i;
        count += tables.first[s[i]];
      }
    } else {
      if (i == 0 && i < limit) {
        starts[count] = 0;
        count += tables.first[s[0]];
        ++i;
      }
      // Each position reads its own previous byte: carrying the previous
      // byte's class from one iteration to the next would chain the table
      // loads into one long dependency.
      for (; i < limit; ++i) {
        starts[count] = i;
        count += tables.first[s[i]] & (tables.word[s[i - 1]] ^ 1);
      }
    }
    if (count == 0) continue;
    // The first step of each walk. The table of two-byte prefixes drops,
    // without touching the double array, the many walks that would stop at
    // the second byte; those that found no keyword either are left out.
    std::size_t walk_count = 0, live = 0;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t st = starts[k];
      const std::uint32_t b0 = code(s[st]);
      const std::uint32_t t = root_base + b0;
      const ScanIndex::Slot v = da[t];
      const bool keyword = (v & ScanIndex::kKeywordBit) != 0;
      const bool deeper = st + 1 < n && index.has_pair(b0, code(s[st + 1]));
      if (!keyword && !deeper) continue;
      Walk& w = walks[walk_count];
      w.start = st;
      w.cursor = st + 1;
      w.node = t;
      w.base = ScanIndex::base_of(v);
      w.found = keyword ? t : 0;
      w.end = st + 1;
      active[live] = static_cast<std::uint32_t>(walk_count);
      live += deeper;
      ++walk_count;
    }
    while (live > 0) {
      // First the slot each walk reads next, with a prefetch, so that all
      // loads of the round are in flight before any is needed.
      for (std::size_t a = 0; a < live; ++a) {
        const Walk& w = walks[active[a]];
        const std::uint32_t t = w.base + code(s[w.cursor]);
        next[a] = t;
        __builtin_prefetch(da + t);
      }
      std::size_t kept = 0;
      for (std::size_t a = 0; a < live; ++a) {
        const std::uint32_t k = active[a];
        Walk& w = walks[k];
        const std::uint32_t t = next[a];
        const ScanIndex::Slot v = da[t];
        if (ScanIndex::check_of(v) != w.node) continue;
        ++w.cursor;
        w.node = t;
        w.base = ScanIndex::base_of(v);
        if (v & ScanIndex::kKeywordBit) {
          w.found = t;
          w.end = w.cursor;
        }
        active[kept] = k;
        kept += w.cursor < n;
      }
      live = kept;
    }
    // The clean names of the keywords found, fetched together before the
    // results are taken in order.
    for (std::size_t k = 0; k < walk_count; ++k) {
      if (walks[k].found != 0) __builtin_prefetch(index.slot_name_entry(walks[k].found));
    }
    for (std::size_t k = 0; k < walk_count; ++k) {
      const Walk& w = walks[k];
      const std::size_t st = w.start;
      if (st < resume || w.found == 0) continue;
      const std::size_t end = w.end;
      if (end == n || overlaps || !tables.word[s[end]]) {
        out.push_back({index.slot_name(w.found), 1.0f, is_trim(s[st]) ? st + 1 : st, end});
        resume = end;
      }
    }
  }
}

}  // namespace

void scan_exact(const ScanIndex& index, std::string_view text, bool fold,
                std::vector<KeywordMatch>& out) {
  if (fold) {
    scan_interleaved<true>(index, text, out);
  } else {
    scan_interleaved<false>(index, text, out);
  }
}

}  // namespace fernquill
