// The plan's scan for hits: the text's prints looked up in the print table,
// and the starts each whole piece found stands for.
#include <algorithm>
#include <array>
#include <cstring>

#include "approx/approx_plan.hpp"
#include "approx/plan_prints.hpp"

namespace fernquill {

using namespace plan_detail;

template <std::uint32_t L>
std::size_t ApproxPlan::runs_in_stretch(const std::uint8_t* s, std::size_t base, std::size_t stop,
                                        PrintRun* found) const {
  // No branch on the lookup: most are independent misses that can then
  // overlap in the memory system.
  const std::uint32_t bits = hash_bits_;
  std::size_t count = 0;
  for (std::size_t p = base; p < stop; ++p) {
    const std::uint64_t key = print_key(s + p, L);
    const std::uint32_t h = print_hash(key, bits);
    const std::uint32_t run = first_[h];
    const std::uint32_t begin = run & kRunMask, end = first_[h + 1] & kRunMask;
    found[count] = {static_cast<std::uint32_t>(p - base), begin, end};
    count += (run >> (kRunBits + print_tag(key, bits))) & 1;
  }
  return count;
}

template <std::uint32_t L>
bool ApproxPlan::piece_occurs(const ScanEntry& e, std::uint32_t k, const std::uint8_t* s,
                              std::size_t n, std::size_t p) const {
  // A piece with a shorter print is looked up by its own length's scan.
  if (std::min<std::uint32_t>(kPrint, e.piece_len) != L) return false;
  if (p < e.print_at || p - e.print_at + e.piece_len > n) return false;
  // The whole piece must occur; its print is part of it, so the print
  // (and the bucket, shared by other prints) needs no test of its own.
  const std::uint8_t* at = s + p - e.print_at;
  const std::uint64_t mask = head_masks_[std::min<std::size_t>(e.piece_len, kHead)];
  std::uint64_t text_head = 0;
  if (at + kHead <= s + n) {
    std::memcpy(&text_head, at, kHead);
  } else {
    std::memcpy(&text_head, at, std::min<std::size_t>(e.piece_len, kHead));
  }
  if (((text_head ^ e.head) & mask) != 0) return false;
  if (e.piece_len > kHead) {
    const Entry& whole = entries_[k];
    const auto* piece =
        reinterpret_cast<const std::uint8_t*>(keywords_.data()) + whole.keyword + whole.piece_at;
    if (std::memcmp(at + kHead, piece + kHead, e.piece_len - kHead) != 0) return false;
  }
  // An alignment whose last uncharged piece is the keyword's last ends
  // right after it (see verify_last): the end test decides it here.
  return !e.last || end_passes(s, n, p - e.print_at + e.piece_len);
}

bool ApproxPlan::lead_agrees(std::uint32_t lead, const std::uint8_t* s, std::size_t i,
                             std::size_t offset, std::size_t piece_at) {
  // A last piece of a keyword with k = 1 found at q = i + offset stands
  // for alignments of w[0, a) with text[i, q) at one edit at most (see
  // verify_last), of the kind offset - a tells: a replaced byte or none
  // (0), a skipped keyword byte (-1), a skipped text byte (+1). An edit
  // after w[0] leaves w[0] on text[i]; an edit at w[0] leaves w[1] on
  // text[i + 1], w[1] on text[i] or w[0] on text[i + 1] respectively.
  // Where the byte fails, the start is passed over (a >= 2, so that w[1]
  // is in the prefix).
  const auto w0 = static_cast<std::uint8_t>(lead), w1 = static_cast<std::uint8_t>(lead >> 8);
  bool agrees = s[i] == w0;
  if (offset == piece_at) {
    agrees = agrees || s[i + 1] == w1;
  } else if (offset < piece_at) {
    agrees = agrees || s[i] == w1;
  } else {
    agrees = agrees || s[i + 1] == w0;
  }
  return agrees;
}

void ApproxPlan::add_starts(const ScanEntry& e, std::uint32_t k, const std::uint8_t* s,
                            std::size_t n, std::size_t p, std::size_t lo, std::size_t hi,
                            std::vector<Hit>& hits, std::size_t cap, std::uint64_t* forced) const {
  const std::size_t q = p - e.print_at;
  // Starts [p - back, p - back + 2j] within [lo, hi).
  const std::size_t from = std::max<std::size_t>(p >= e.back ? p - e.back : 0, lo);
  const std::size_t width = e.width;
  const std::size_t to = std::min<std::size_t>(p + width > e.back ? p + width - e.back : 0, hi);
  const std::uint32_t lead = leads_[k];
  // a_j, the piece's offset in its keyword.
  const std::size_t piece_at = e.back - e.print_at - (e.width - 1) / 2;
  for (std::size_t i = from; i < to; ++i) {
    // The scan asks only about starts that pass its start test.
    if (i > 0 && !overlaps_ && word_[s[i - 1]]) continue;
    if (lead != kAnyLead && i + 1 < n && !lead_agrees(lead, s, i, q - i, piece_at)) continue;
    if (hits.size() < cap) {
      hits.push_back({static_cast<std::uint32_t>(i - lo), k, static_cast<std::uint32_t>(q - i)});
    } else {
      forced[(i - lo) >> 6] |= std::uint64_t{1} << ((i - lo) & 63);
    }
  }
}

template <std::uint32_t L>
void ApproxPlan::scan_prints(const std::uint8_t* s, std::size_t n, std::size_t lo, std::size_t hi,
                             std::vector<Hit>& hits, std::size_t cap, std::uint64_t* forced) const {
  if (n < L) return;
  const std::size_t first = lo > max_budget_ ? lo - max_budget_ : 0;
  const std::size_t last = std::min<std::size_t>(n - L + 1, hi + max_back_);
  // Two passes over each stretch of positions: the first finds the
  // positions whose print hashes to a nonempty run, the second compares
  // the pieces of those runs.
  std::array<PrintRun, kStretch> found;
  for (std::size_t base = first; base < last; base += kStretch) {
    const std::size_t count =
        runs_in_stretch<L>(s, base, std::min(last, base + kStretch), found.data());
    for (std::size_t f = 0; f < count; ++f) {
      const std::size_t p = base + found[f].offset;
#if defined(__GNUC__)
      // The runs of the positions ahead are fetched while this one is
      // compared: most are cache misses.
      if (f + kAhead < count) __builtin_prefetch(&scans_[found[f + kAhead].begin]);
#endif
      for (std::uint32_t k = found[f].begin; k < found[f].end; ++k) {
        const ScanEntry& e = scans_[k];
        if (piece_occurs<L>(e, k, s, n, p)) add_starts(e, k, s, n, p, lo, hi, hits, cap, forced);
      }
    }
  }
}

void ApproxPlan::find_hits(const std::uint8_t* s, std::size_t n, std::size_t lo, std::size_t hi,
                           std::vector<Hit>& hits, std::size_t cap, std::uint64_t* forced) const {
  if (lengths_ & (1u << 1)) scan_prints<1>(s, n, lo, hi, hits, cap, forced);
  if (lengths_ & (1u << 2)) scan_prints<2>(s, n, lo, hi, hits, cap, forced);
  if (lengths_ & (1u << 3)) scan_prints<3>(s, n, lo, hi, hits, cap, forced);
  if (lengths_ & (1u << 4)) scan_prints<4>(s, n, lo, hi, hits, cap, forced);
}

}  // namespace fernquill
