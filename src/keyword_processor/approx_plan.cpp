#include "keyword_processor/approx_plan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string_view>

#include "keyword_processor/scan_index.hpp"
#include "text/utf8.hpp"

namespace fernquill {
namespace {

// Keywords and clean names below this length keep every float value of the
// budget bound exact (see the header); a store with a longer one is not
// filtered. The approximate search relies on the same limit.
constexpr std::uint64_t kExactLengths = std::uint64_t{1} << 23;
// Above this estimated number of verifications per text byte the filter
// costs more than the searches it saves (measured on English text with
// typos: about 1 pays well at t = 0.9, about 9 costs more than it saves).
constexpr double kMaxVerifications = 3.0;
// Keywords longer than this are cut into equal pieces: a piece of that many
// bytes is rare whatever its bytes.
constexpr std::size_t kMaxPlannedLength = 64;
// Bytes of a piece compared in one load.
constexpr std::size_t kHead = 8;
// Longest keyword the banded verification takes (its cost grows with it).
constexpr std::size_t kMaxKeyword = 4096;
// Size of the hash table of prints: about this many slots per piece (most
// lookups are misses, which an empty slot answers), within these limits.
constexpr std::uint32_t kSlotsPerPiece = 2;
constexpr std::uint32_t kMinHashBits = 8;
constexpr std::uint32_t kMaxHashBits = 22;
// Size of the table of gram counts behind the rarity estimate (a transient
// of at most 4 MiB while a plan is built).
constexpr std::uint32_t kMinRarityBits = 10;
constexpr std::uint32_t kMaxRarityBits = 20;

float bound_at(std::uint64_t e, std::uint64_t depth, std::uint64_t name_len) {
  const std::uint64_t d = std::max(depth + e, name_len);
  return 1.0f - static_cast<float>(e) / static_cast<float>(d);
}

// k(w): the largest e whose bound meets t, or kMaxBudget + 1 when larger.
std::uint32_t budget(std::uint64_t depth, std::uint64_t name_len, float t) {
  std::uint32_t e = 0;
  while (e <= ApproxPlan::kMaxBudget && bound_at(e + 1, depth, name_len) >= t) ++e;
  return e;
}

std::uint64_t print_key(const std::uint8_t* p, std::uint32_t len) {
  std::uint32_t v = 0;
  std::memcpy(&v, p, len);
  return (std::uint64_t{len} << 32) | v;
}

std::uint32_t print_hash(std::uint64_t key, std::uint32_t bits) {
  return static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits));
}

struct Keyword {
  std::string bytes;
  std::uint32_t k;
  std::uint32_t name_len;
};

using utf8::is_trim;

// The keywords with a budget of at least one edit. Sets `ok` to false when
// some keyword's budget is too large to cut into pieces.
std::vector<Keyword> keywords_to_cut(const ApproxIndex& index, float t, bool& ok) {
  const auto& nodes = index.nodes();
  const auto& keys = index.keys();
  std::vector<Keyword> out;
  std::string path;
  std::vector<std::pair<std::uint32_t, std::uint32_t>> stack{{0, 0}};  // node, depth
  ok = true;
  while (!stack.empty() && ok) {
    const auto [k, depth] = stack.back();
    stack.pop_back();
    const ApproxIndex::Node& node = nodes[k];
    if (depth > 0) {
      path.resize(depth);
      path[depth - 1] = static_cast<char>(keys[k]);
    }
    if (node.name != ApproxIndex::kNoName) {
      const std::uint32_t e = budget(depth, node.name_len, t);
      // k + 1 pieces need k + 1 bytes. (The empty keyword with k = 0 needs
      // none: consuming text at the root costs an edit per byte.)
      if (e > ApproxPlan::kMaxBudget || (e > 0 && e + 1 > depth)) ok = false;
      if (e > 0) out.push_back({path.substr(0, depth), e, node.name_len});
    }
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      if (nodes[c].named_below) stack.push_back({c, depth + 1});
    }
  }
  return out;
}

// Chance that a given text position starts a given byte string, estimated
// by a model of 4-grams counted over the keywords themselves: the first up
// to four bytes by their own count, each further byte by its count after
// the three before it. Pieces common among keywords (shared suffixes above
// all) are common in text too, and each keyword holding one is verified
// separately, so the estimate steers the cuts away from them.
class Rarity {
 public:
  explicit Rarity(const std::vector<Keyword>& keywords) {
    std::size_t grams = 0;
    for (const Keyword& w : keywords) grams += w.bytes.size() * kPrint;
    // Counts are kept by hash, collisions and all: it is an estimate.
    bits_ = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(std::bit_width(grams)),
                                      kMinRarityBits, kMaxRarityBits);
    count_.assign(std::size_t{1} << bits_, 0);
    for (const Keyword& w : keywords) {
      const auto* b = reinterpret_cast<const std::uint8_t*>(w.bytes.data());
      for (std::size_t len = 1; len <= kPrint; ++len) {
        for (std::size_t a = 0; a + len <= w.bytes.size(); ++a) {
          ++count_[slot(b + a, len)];
          ++total_[len];
        }
      }
    }
  }
  // of(b, len) for every len from 1 to `max`, into `out`.
  void prefixes(const std::uint8_t* b, std::size_t max, double* out) const {
    double p = 1;
    for (std::size_t len = 1; len <= max; ++len) {
      p = next(b, len, p);
      out[len - 1] = p;
    }
  }
  double of(const std::uint8_t* b, std::size_t len) const {
    double p = 1;
    for (std::size_t l = 1; l <= len; ++l) p = next(b, l, p);
    return p;
  }

 private:
  static constexpr std::size_t kPrint = ApproxPlan::kPrint;
  // The estimate for b[0, len) from the one for b[0, len - 1).
  double next(const std::uint8_t* b, std::size_t len, double p) const {
    if (len <= kPrint) return (count(b, len) + 0.5) / (static_cast<double>(total_[len]) + 1);
    const std::uint8_t* g = b + len - kPrint;
    return p * (count(g, kPrint) + 0.5) / (count(g, kPrint - 1) + 1);
  }
  std::size_t slot(const std::uint8_t* b, std::size_t len) const {
    return print_hash(print_key(b, static_cast<std::uint32_t>(len)), bits_);
  }
  double count(const std::uint8_t* b, std::size_t len) const {
    return static_cast<double>(count_[slot(b, len)]);
  }
  std::uint32_t bits_;
  std::vector<std::uint32_t> count_;
  std::array<std::uint64_t, kPrint + 1> total_{};
};

// Cut points of w into k + 1 pieces, chosen to make the expected number of
// verifications, the sum over pieces of rarity times window 2j + 1, small.
std::vector<std::size_t> cut(const Keyword& w, const Rarity& rarity) {
  const std::size_t len = w.bytes.size(), pieces = w.k + 1;
  std::vector<std::size_t> at(pieces + 1, len);
  if (len > kMaxPlannedLength) {
    for (std::size_t j = 0; j < pieces; ++j) at[j] = len * j / pieces;
    return at;
  }
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(w.bytes.data());
  // p[a * len + l - 1]: rarity of w[a, a + l).
  std::array<double, kMaxPlannedLength * kMaxPlannedLength> p;
  for (std::size_t a = 0; a < len; ++a) rarity.prefixes(bytes + a, len - a, &p[a * len]);
  // best[j][b]: least cost of covering w[0, b) with j pieces; from[j][b]
  // where its last piece starts.
  constexpr double kNone = 1e300;
  constexpr std::size_t kRow = kMaxPlannedLength + 1;
  std::array<double, (ApproxPlan::kMaxBudget + 2) * kRow> best;
  std::array<std::uint8_t, (ApproxPlan::kMaxBudget + 2) * kRow> from;
  std::fill_n(best.begin(), (pieces + 1) * kRow, kNone);
  // Pieces shorter than a print make the scan look up short, frequent
  // prints: every piece gets a full print where the keyword allows it.
  const std::size_t shortest =
      std::max<std::size_t>(1, std::min<std::size_t>(ApproxPlan::kPrint, len / pieces));
  best[0] = 0;
  for (std::size_t j = 0; j < pieces; ++j) {
    const double window = static_cast<double>(2 * j + 1);
    for (std::size_t a = j * shortest; a < len; ++a) {
      if (best[j * kRow + a] >= kNone) continue;
      for (std::size_t b = a + shortest; b + (pieces - j - 1) * shortest <= len; ++b) {
        const double cost = best[j * kRow + a] + window * p[a * len + (b - a - 1)];
        if (cost < best[(j + 1) * kRow + b]) {
          best[(j + 1) * kRow + b] = cost;
          from[(j + 1) * kRow + b] = static_cast<std::uint8_t>(a);
        }
      }
    }
  }
  for (std::size_t j = pieces, b = len; j > 0; --j) {
    at[j] = b;
    b = from[j * kRow + b];
    at[j - 1] = b;
  }
  return at;
}

}  // namespace

ApproxPlan::ApproxPlan(const ApproxIndex& index, float threshold)
    : t_(threshold), overlaps_(index.allow_overlaps()), word_(index.plain().word) {
  for (std::size_t l = 0; l <= kHead; ++l) {
    std::array<std::uint8_t, kHead> mask{};
    std::fill_n(mask.begin(), l, std::uint8_t{0xFF});
    std::memcpy(&head_masks_[l], mask.data(), kHead);
  }
  filtering_ = build(index, threshold);
  if (!filtering_) release();
}

void ApproxPlan::release() {
  std::vector<std::uint32_t>().swap(first_);
  std::vector<Entry>().swap(entries_);
  std::string().swap(keywords_);
  lengths_ = 0;
}

bool ApproxPlan::build(const ApproxIndex& index, float t) {
  const ApproxIndex::Node& root = index.nodes()[0];
  if (root.height >= kExactLengths || root.max_name >= kExactLengths) return false;
  bool ok = false;
  const std::vector<Keyword> keywords = keywords_to_cut(index, t, ok);
  if (!ok) return false;
  const Rarity rarity(keywords);

  struct Planned {
    std::uint64_t key;
    std::uint32_t hash;
    Entry entry;
  };
  std::vector<Planned> planned;
  double verifications = 0;
  for (const Keyword& w : keywords) {
    if (w.bytes.size() > kMaxKeyword) return false;
    const std::vector<std::size_t> at = cut(w, rarity);
    const auto keyword = static_cast<std::uint32_t>(keywords_.size());
    keywords_.append(w.bytes);
    for (std::uint32_t j = 0; j <= w.k; ++j) {
      const std::string_view piece = std::string_view(w.bytes).substr(at[j], at[j + 1] - at[j]);
      const auto len = static_cast<std::uint32_t>(piece.size());
      const std::uint32_t print_len = std::min(kPrint, len);
      std::uint32_t print_at = 0;
      double rarest = 2;
      for (std::uint32_t o = 0; o + print_len <= len; ++o) {
        const double r =
            rarity.of(reinterpret_cast<const std::uint8_t*>(piece.data()) + o, print_len);
        if (r < rarest) {
          rarest = r;
          print_at = o;
        }
      }
      Entry entry{};
      entry.print = static_cast<std::uint32_t>(
          print_key(reinterpret_cast<const std::uint8_t*>(piece.data()) + print_at, print_len));
      entry.keyword = keyword;
      entry.name_len = w.name_len;
      entry.keyword_len = static_cast<std::uint16_t>(w.bytes.size());
      entry.piece_at = static_cast<std::uint16_t>(at[j]);
      entry.piece_len = static_cast<std::uint16_t>(len);
      entry.print_at = static_cast<std::uint16_t>(print_at);
      entry.back = static_cast<std::uint16_t>(print_at + at[j] + j);
      entry.piece = static_cast<std::uint8_t>(j);
      entry.budget = static_cast<std::uint8_t>(w.k);
      planned.push_back(
          {print_key(reinterpret_cast<const std::uint8_t*>(piece.data()) + print_at, print_len), 0,
           entry});
      verifications +=
          rarity.of(reinterpret_cast<const std::uint8_t*>(piece.data()), len) * (2 * j + 1);
      if (verifications > kMaxVerifications) return false;
      lengths_ |= 1u << print_len;
      max_back_ = std::max<std::uint32_t>(max_back_, entry.back);
      max_budget_ = std::max(max_budget_, w.k);
    }
  }

  // Entries sorted by the hash of their print, counted into first_.
  hash_bits_ = std::clamp<std::uint32_t>(
      static_cast<std::uint32_t>(std::bit_width(planned.size() * kSlotsPerPiece)), kMinHashBits,
      kMaxHashBits);
  for (Planned& p : planned) p.hash = print_hash(p.key, hash_bits_);
  std::stable_sort(planned.begin(), planned.end(),
                   [](const Planned& a, const Planned& b) { return a.hash < b.hash; });
  first_.assign((std::size_t{1} << hash_bits_) + 1, 0);
  entries_.reserve(planned.size());
  for (const Planned& p : planned) {
    ++first_[p.hash + 1];
    entries_.push_back(p.entry);
  }
  for (std::size_t h = 1; h < first_.size(); ++h) first_[h] += first_[h - 1];
  keywords_.append(kHead, '\0');
  keywords_.shrink_to_fit();
  return memory_bytes() <= index.exact_memory_bytes();
}

bool ApproxPlan::end_passes(const std::uint8_t* s, std::size_t n, std::size_t stop) const {
  const std::size_t end = is_trim(s[stop - 1]) ? stop - 1 : stop;
  if (end == n || overlaps_) return true;
  for (std::size_t k = end; k < end + 3 && k < n; ++k) {
    if (!word_[s[k]]) return true;
  }
  return false;
}

bool ApproxPlan::verify(const Entry& e, const std::uint8_t* s, std::size_t n, std::size_t i) const {
  // Banded table of ED(w[0, p), text[i, i + c)) for |c - p| <= k, held by
  // diagonal d = c - p + k; cells off the band or past the text hold k + 1,
  // which stands for "more than k" (a path through them costs more).
  const auto* w = reinterpret_cast<const std::uint8_t*>(keywords_.data()) + e.keyword;
  const std::int64_t k = e.budget, m = e.keyword_len;
  const std::int64_t rest = static_cast<std::int64_t>(n - i);
  const std::int64_t over = k + 1;
  // A candidate consumes c in [m - k, m + k] bytes; without an end there
  // that passes the end test, the table need not be computed.
  bool some_end = false;
  for (std::int64_t c = std::max<std::int64_t>(1, m - k); c <= std::min(m + k, rest) && !some_end;
       ++c) {
    some_end = end_passes(s, n, i + static_cast<std::size_t>(c));
  }
  if (!some_end) return false;
  std::array<std::int64_t, 2 * kMaxBudget + 2> row;
  // Piece 0 starts the keyword and was found intact at i: the row after it
  // is known. ED(w[0, a), text[i, i + c)) >= |c - a| for any a, and the
  // matched diagonal followed by |c - a| skips reaches it.
  const std::int64_t known = e.piece == 0 ? e.piece_len : 0;
  for (std::int64_t d = 0; d <= 2 * k + 1; ++d) {
    const std::int64_t c = known + d - k;
    row[d] = c >= 0 && c <= rest && d <= 2 * k ? std::abs(d - k) : over;
  }
  for (std::int64_t p = known + 1; p <= m; ++p) {
    std::int64_t low = over;
    std::int64_t left = over;  // the cell (p, c - 1), already in the new row
    for (std::int64_t d = 0; d <= 2 * k; ++d) {
      const std::int64_t c = p + d - k;
      std::int64_t v = over;
      if (c >= 0 && c <= rest) {
        v = std::min(row[d + 1] + 1, left + 1);
        if (c >= 1) v = std::min(v, row[d] + (w[p - 1] != s[i + c - 1] ? 1 : 0));
        v = std::min(v, over);
      }
      row[d] = v;
      left = v;
      low = std::min(low, v);
    }
    if (low > k) return false;
  }
  for (std::int64_t d = 0; d <= 2 * k; ++d) {
    const std::int64_t c = m + d - k;
    if (c < 1 || c > rest || row[d] > k) continue;
    const std::uint64_t den = std::max<std::uint64_t>(static_cast<std::uint64_t>(c), e.name_len);
    const float v = 1.0f - static_cast<float>(row[d]) / static_cast<float>(den);
    if (v >= t_ && end_passes(s, n, i + static_cast<std::size_t>(c))) return true;
  }
  return false;
}

template <std::uint32_t L>
void ApproxPlan::scan_prints(const std::uint8_t* s, std::size_t n, std::size_t lo, std::size_t hi,
                             std::uint64_t* marks) const {
  if (n < L) return;
  const std::size_t first = lo > max_budget_ ? lo - max_budget_ : 0;
  const std::size_t last = std::min<std::size_t>(n - L + 1, hi + max_back_);
  const std::uint32_t bits = hash_bits_;
  const auto* pool = reinterpret_cast<const std::uint8_t*>(keywords_.data());
  for (std::size_t p = first; p < last; ++p) {
    const std::uint64_t key = print_key(s + p, L);
    const std::uint32_t h = print_hash(key, bits);
    for (std::uint32_t k = first_[h]; k < first_[h + 1]; ++k) {
      const Entry& e = entries_[k];
      if (e.print != static_cast<std::uint32_t>(key) ||
          std::min<std::uint32_t>(kPrint, e.piece_len) != L) {
        continue;
      }
      if (p < e.print_at || p - e.print_at + e.piece_len > n) continue;
      const std::uint8_t* at = s + p - e.print_at;
      const std::uint8_t* piece = pool + e.keyword + e.piece_at;
      if (at + kHead <= s + n) {
        // The pool's padding makes the load of the piece safe.
        std::uint64_t text_head, piece_head;
        std::memcpy(&text_head, at, kHead);
        std::memcpy(&piece_head, piece, kHead);
        const std::uint64_t mask = head_masks_[std::min<std::size_t>(e.piece_len, kHead)];
        if (((text_head ^ piece_head) & mask) != 0) continue;
        if (e.piece_len > kHead &&
            std::memcmp(at + kHead, piece + kHead, e.piece_len - kHead) != 0) {
          continue;
        }
      } else if (std::memcmp(at, piece, e.piece_len) != 0) {
        continue;
      }
      // Starts [p - back, p - back + 2j] within [lo, hi).
      const std::size_t from = std::max<std::size_t>(p >= e.back ? p - e.back : 0, lo);
      const std::size_t width = 2 * std::size_t{e.piece} + 1;
      const std::size_t to = std::min<std::size_t>(p + width > e.back ? p + width - e.back : 0, hi);
      for (std::size_t i = from; i < to; ++i) {
        // The scan asks only about starts that pass its start test.
        if (i > 0 && !overlaps_ && word_[s[i - 1]]) continue;
        std::uint64_t& word = marks[(i - lo) >> 6];
        const std::uint64_t bit = std::uint64_t{1} << ((i - lo) & 63);
        if (!(word & bit) && verify(e, s, n, i)) word |= bit;
      }
    }
  }
}

void ApproxPlan::mark_starts(const std::uint8_t* s, std::size_t n, std::size_t lo, std::size_t hi,
                             std::uint64_t* marks) const {
  if (lengths_ & (1u << 1)) scan_prints<1>(s, n, lo, hi, marks);
  if (lengths_ & (1u << 2)) scan_prints<2>(s, n, lo, hi, marks);
  if (lengths_ & (1u << 3)) scan_prints<3>(s, n, lo, hi, marks);
  if (lengths_ & (1u << 4)) scan_prints<4>(s, n, lo, hi, marks);
}

std::size_t ApproxPlan::memory_bytes() const {
  return first_.capacity() * sizeof(std::uint32_t) + entries_.capacity() * sizeof(Entry) +
         keywords_.capacity() + sizeof(*this);
}

}  // namespace fernquill
