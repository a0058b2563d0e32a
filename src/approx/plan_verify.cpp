// The plan's verification: whether the keyword of a piece found in the text
// can have a recorded candidate at a start, by edit distances in a band.
#include <algorithm>
#include <array>
#include <bit>
#include <cstring>

#include "approx/approx_plan.hpp"
#include "approx/approx_score.hpp"
#include "approx/plan_prints.hpp"
#include "exact/scan_index.hpp"

namespace fernquill {
namespace {

using plan_detail::kHead;

// The length of the common prefix of a[0, len) and b[0, len), known to be
// at least `from`.
std::size_t common_prefix(const std::uint8_t* a, const std::uint8_t* b, std::size_t len,
                          std::size_t from) {
  std::size_t p = from;
  for (; p + kHead <= len; p += kHead) {
    std::uint64_t x, y;
    std::memcpy(&x, a + p, kHead);
    std::memcpy(&y, b + p, kHead);
    if (x != y) {
      if constexpr (std::endian::native == std::endian::little) {
        return p + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
      } else {
        return p + static_cast<std::size_t>(std::countl_zero(x ^ y)) / 8;
      }
    }
  }
  while (p < len && a[p] == b[p]) ++p;
  return p;
}

// Whether the keyword bytes w0, w1 (and w2) that follow a first piece,
// packed in `next` with their count in the top byte (0 when they decide
// nothing), can meet the text t[0, room) after it with the one edit of
// piece 1 at or after them (see ApproxPlan::verify_first_pieces).
bool may_follow(std::uint32_t next, const std::uint8_t* t, std::size_t room) {
  const std::uint32_t known = next >> 24;
  const auto w0 = static_cast<std::uint8_t>(next), w1 = static_cast<std::uint8_t>(next >> 8),
             w2 = static_cast<std::uint8_t>(next >> 16);
  if (known >= 3 && room >= 3) {
    const std::uint8_t x0 = t[0], x1 = t[1], x2 = t[2];
    return (w0 == x0 && (w1 == x1 || w1 == x2 || w2 == x2 || w2 == x1)) || (w0 == x1 && w1 == x2) ||
           (w1 == x1 && w2 == x2) || (w1 == x0 && w2 == x1);
  }
  if (known >= 2 && room >= 2) return t[0] == w0 || t[1] == w1 || t[0] == w1 || t[1] == w0;
  return true;
}

}  // namespace

bool ApproxPlan::verify_first_pieces(const std::uint8_t* s, std::size_t n, std::size_t i,
                                     std::uint32_t last) const {
  // Walk the exact path again (its slots are cached) and verify the
  // keywords of every first piece that ends on it.
  std::uint32_t at = ScanIndex::kRootSlot;
  for (std::size_t k = i; at != last && k < n; ++k) {
    const std::uint32_t next = ScanIndex::base_of(slots_[at]) + s[k];
    if (ScanIndex::check_of(slots_[next]) != at) break;
    at = next;
    if (!ends_first_piece(at)) continue;
    // The run of the slot: the number of first-piece slots before it.
    const Ranked& word = first_end_[at >> 6];
    const std::uint64_t below = (std::uint64_t{1} << (at & 63)) - 1;
    const std::uint32_t r =
        word.rank + static_cast<std::uint32_t>(std::popcount(word.bits & below));
    // A keyword needs verifying here only for the alignments whose last
    // uncharged piece is the first (the others are verified through the
    // hits of their own). Such an alignment meets w[0, a) with
    // text[i, i + a), and each of the k later pieces holds at least one of
    // its at most k edits, so exactly one: piece 1, w[a, a_2), holds one.
    // At a itself that edit replaces w[a] (then w[a + 1] meets
    // text[a + 1]), skips it (w[a + 1] meets text[a]) or skips text[a]
    // (w[a] meets text[a + 1]); later, w[a] meets text[a] (offsets from i;
    // with a_2 >= a + 2, w[a + 1] is in piece 1 and free of a second edit).
    // Where none of these bytes agree, the keyword is passed over without
    // a look at its entry.
    // With a_2 >= a + 3 the same holds one byte further: the edit is at
    // w[a], w[a + 1], w[a + 2] or later, each case fixing two of them.
    const std::size_t a = k + 1 - i;
    const std::size_t room = n - i - a;
    for (std::uint32_t e = first_runs_[r]; e < first_runs_[r + 1]; ++e) {
      if (!may_follow(first_next_[e], s + i + a, room)) continue;
      if (verify(first_entries_[e], s, n, i)) return true;
    }
  }
  return false;
}

namespace {

// Fills band[d] with ED(w[0, rows), t[0, c)) for c = rows + d - k, d in
// [0, 2k]; cells with c outside [0, rest] (past the text) or a value above
// k hold k + 1, which stands for "more than k": a path of cost <= k never
// leaves the band |c - p| <= k, so the cells at or below k are exact.
// w[0, known) = t[0, known) with known <= min(rows, rest) gives the row
// `known` without computing it: ED(w[0, a), t[0, c)) >= |c - a| for any a,
// and the matched diagonal followed by |c - a| skips reaches it. Returns
// false as soon as a whole row exceeds k: every later cell then does too.
bool banded_distance(const std::uint8_t* w, std::int64_t rows, const std::uint8_t* t,
                     std::int64_t rest, std::int64_t k, std::int64_t known,
                     std::array<std::int64_t, 2 * ApproxPlan::kMaxBudget + 2>& band) {
  const std::int64_t over = k + 1;
  for (std::int64_t d = 0; d <= 2 * k + 1; ++d) {
    const std::int64_t c = known + d - k;
    band[d] = c >= 0 && c <= rest && d <= 2 * k ? std::abs(d - k) : over;
  }
  for (std::int64_t p = known + 1; p <= rows; ++p) {
    std::int64_t low = over;
    std::int64_t left = over;  // the cell (p, c - 1), already in the new row
    for (std::int64_t d = 0; d <= 2 * k; ++d) {
      const std::int64_t c = p + d - k;
      std::int64_t v = over;
      if (c >= 0 && c <= rest) {
        v = std::min(band[d + 1] + 1, left + 1);
        if (c >= 1) v = std::min(v, band[d] + (w[p - 1] != t[c - 1] ? 1 : 0));
        v = std::min(v, over);
      }
      band[d] = v;
      left = v;
      low = std::min(low, v);
    }
    if (low > k) return false;
  }
  return true;
}

// Whether a[0, len) = b[0, len).
bool same(const std::uint8_t* a, const std::uint8_t* b, std::int64_t len) {
  return len <= 0 ||
         common_prefix(a, b, static_cast<std::size_t>(len), 0) == static_cast<std::size_t>(len);
}

// banded_distance for k = 1, from the common prefix instead of the table:
// `known` must be the whole common prefix of w[0, rows) and t[0, rest).
// Where the text ends first (L = known = rest < rows), only c = rows - 1
// can be in it, with ED 1 exactly when L >= rows - 1. Otherwise, with
// L < rows, the first mismatch is at L, and a single edit must be made
// there: an alignment with one edit at p < L matches w[0, p)
// and the rest shifted by the edit, and moving the edit to L gives the
// same strings on both sides of it (the bytes between are equal). So
//  c = rows:     ED = 1 exactly when w[L + 1, rows) = t[L + 1, rows);
//  c = rows + 1: ED = 1 exactly when w[L, rows) = t[L + 1, rows + 1);
//  c = rows - 1: ED = 1 exactly when w[L + 1, rows) = t[L, rows - 1);
// and with L = rows, ED is 0 at c = rows and 1 at c = rows +- 1.
bool one_edit_distance(const std::uint8_t* w, std::int64_t rows, const std::uint8_t* t,
                       std::int64_t rest, std::int64_t known,
                       std::array<std::int64_t, 2 * ApproxPlan::kMaxBudget + 2>& band) {
  constexpr std::int64_t kOver = 2;
  const std::int64_t L = known;
  band[0] = kOver;
  if (rows >= 1 && rows - 1 <= rest) {
    band[0] = L >= rows - 1 || same(w + L + 1, t + L, rows - 1 - L) ? 1 : kOver;
  }
  band[1] = kOver;
  if (rows <= rest) band[1] = L >= rows ? 0 : same(w + L + 1, t + L + 1, rows - L - 1) ? 1 : kOver;
  band[2] = kOver;
  if (rows + 1 <= rest) band[2] = same(w + L, t + L + 1, rows - L) ? 1 : kOver;
  band[3] = kOver;
  return band[0] < kOver || band[1] < kOver || band[2] < kOver;
}

// ED(w[0, rows), t[0, c)) in `band` (see banded_distance); false when no
// cell is within k.
bool distances(const std::uint8_t* w, std::int64_t rows, const std::uint8_t* t, std::int64_t rest,
               std::int64_t k, std::int64_t known,
               std::array<std::int64_t, 2 * ApproxPlan::kMaxBudget + 2>& band) {
  return k == 1 ? one_edit_distance(w, rows, t, rest, known, band)
                : banded_distance(w, rows, t, rest, k, known, band);
}

}  // namespace

bool ApproxPlan::verify(const Entry& e, const std::uint8_t* s, std::size_t n, std::size_t i) const {
  // ED(w, text[i, i + c)) for every c a candidate can consume ([m - k,
  // m + k]), then the search's score and end test at each.
  const auto* w = reinterpret_cast<const std::uint8_t*>(keywords_.data()) + e.keyword;
  const std::int64_t k = e.budget, m = e.keyword_len;
  const std::int64_t rest = static_cast<std::int64_t>(n - i);
  // The keyword's first `known` bytes occur at i (piece 0 was found intact
  // there, and the common prefix extends it).
  const auto known = static_cast<std::int64_t>(common_prefix(
      w, s + i, std::min<std::size_t>(e.keyword_len, n - i), e.piece == 0 ? e.piece_len : 0));
  Band band;
  if (!distances(w, m, s + i, rest, k, known, band)) return false;
  for (std::int64_t d = 0; d <= 2 * k; ++d) {
    const std::int64_t c = m + d - k;
    if (c < 1 || c > rest || band[d] > k) continue;
    const std::uint64_t den = std::max<std::uint64_t>(static_cast<std::uint64_t>(c), e.name_len);
    const float v = similarity(band[d], den);
    if (v >= t_ && end_passes(s, n, i + static_cast<std::size_t>(c))) return true;
  }
  return false;
}

bool ApproxPlan::verify_last(const Entry& e, const std::uint8_t* s, std::size_t n, std::size_t i,
                             std::size_t offset) const {
  // The alignments whose last uncharged piece is the last piece k: all
  // their edits lie before it, so they align w[0, a_k) with text[i, q)
  // (q = i + offset, where the piece was found) at some cost e <= k and
  // end right after the piece, having consumed c = offset + piece length.
  // The least such e is ED(w[0, a_k), text[i, q)) and gives the highest
  // score; the end test at i + c passed when the hit was found. Any other
  // alignment has another last uncharged piece, or finds piece k at
  // another offset, and so is verified through another hit.
  const auto* w = reinterpret_cast<const std::uint8_t*>(keywords_.data()) + e.keyword;
  const std::int64_t k = e.budget, a = e.piece_at;
  const std::int64_t rest = static_cast<std::int64_t>(n - i);
  const auto known = static_cast<std::int64_t>(
      common_prefix(w, s + i, std::min<std::size_t>(e.piece_at, n - i), 0));
  Band band;
  if (!distances(w, a, s + i, rest, k, known, band)) return false;
  const std::int64_t edits = band[static_cast<std::int64_t>(offset) - a + k];
  if (edits > k) return false;
  const std::uint64_t c = offset + e.piece_len;
  const float v = similarity(edits, std::max<std::uint64_t>(c, e.name_len));
  return v >= t_;
}

}  // namespace fernquill
