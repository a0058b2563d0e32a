#include "approx/approx_plan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <optional>
#include <string_view>

#include "approx/approx_index.hpp"
#include "approx/approx_score.hpp"
#include "exact/scan_index.hpp"

namespace fernquill {
namespace {

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
// Bytes of the scanned text counted for the cut points: fewer than the
// minimum say too little, more than the maximum add little.
constexpr std::size_t kMinSample = std::size_t{1} << 12;
constexpr std::size_t kMaxSample = std::size_t{1} << 18;

float bound_at(std::uint64_t e, std::uint64_t depth, std::uint64_t name_len) {
  return similarity(static_cast<std::int64_t>(e), std::max(depth + e, name_len));
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

// A run of the print table holds the entries of one hash; its first word
// keeps the run's start in the low kRunBits bits and, above them, one tag
// bit per print in the run: bit print_tag(key) of the hash bits that
// follow the bucket's. A print whose tag bit is clear is in no entry, so
// most prints that merely share a bucket are passed over without a look
// at the entries.
constexpr std::uint32_t kRunBits = 24;
constexpr std::uint32_t kRunMask = (std::uint32_t{1} << kRunBits) - 1;
constexpr std::uint32_t kTagBits = 3;  // 8 tags, in the top 8 bits

std::uint32_t print_tag(std::uint64_t key, std::uint32_t bits) {
  const std::uint64_t h = key * 0x9E3779B97F4A7C15ull;
  return static_cast<std::uint32_t>(h >> (64 - bits - kTagBits)) & ((1u << kTagBits) - 1);
}

// The double-array slot of the trie node that spells `path` (a prefix of a
// stored keyword, so every step exists).
std::uint32_t slot_of(const ScanIndex::Slot* da, std::string_view path) {
  std::uint32_t at = ScanIndex::kRootSlot;
  for (const char b : path) at = ScanIndex::base_of(da[at]) + static_cast<std::uint8_t>(b);
  return at;
}

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

struct Keyword {
  std::string bytes;
  std::uint32_t k;
  std::uint32_t name_len;
};

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
// by a model of 4-grams: the first up to four bytes by their own count, each
// further byte by its count after the three before it. The grams are
// counted over a sample of the text being scanned when there is one (the
// cost of a piece is how often it occurs there), else over the keywords
// themselves: pieces common among keywords (shared suffixes above all) are
// common in text too, and each keyword holding one is verified separately,
// so either estimate steers the cuts away from them.
class Rarity {
 public:
  explicit Rarity(const std::vector<Keyword>& keywords) {
    std::size_t grams = 0;
    for (const Keyword& w : keywords) grams += w.bytes.size() * kPrint;
    size_table(grams);
    for (const Keyword& w : keywords) {
      count_grams(reinterpret_cast<const std::uint8_t*>(w.bytes.data()), w.bytes.size());
    }
  }
  explicit Rarity(std::string_view sample) {
    size_table(sample.size() * kPrint);
    count_grams(reinterpret_cast<const std::uint8_t*>(sample.data()), sample.size());
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
  void size_table(std::size_t grams) {
    // Counts are kept by hash, collisions and all: it is an estimate.
    bits_ = std::clamp<std::uint32_t>(static_cast<std::uint32_t>(std::bit_width(grams)),
                                      kMinRarityBits, kMaxRarityBits);
    count_.assign(std::size_t{1} << bits_, 0);
  }
  void count_grams(const std::uint8_t* b, std::size_t size) {
    for (std::size_t len = 1; len <= kPrint; ++len) {
      for (std::size_t a = 0; a + len <= size; ++a) {
        ++count_[slot(b + a, len)];
        ++total_[len];
      }
    }
  }
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

std::shared_ptr<const ApproxPlan> plan_for(const ApproxIndex& index, float t,
                                           std::size_t text_bytes, std::string_view text) {
  return index.plans().find_or_build(t, index.nodes().size(), text_bytes, [&] {
    return std::make_shared<const ApproxPlan>(index, t, text);
  });
}

ApproxPlan::ApproxPlan(const ApproxIndex& index, float threshold, std::string_view sample)
    : t_(threshold), overlaps_(index.allow_overlaps()), word_(index.plain().word) {
  for (std::size_t l = 0; l <= kHead; ++l) {
    std::array<std::uint8_t, kHead> mask{};
    std::fill_n(mask.begin(), l, std::uint8_t{0xFF});
    std::memcpy(&head_masks_[l], mask.data(), kHead);
  }
  filtering_ = build(index, threshold, sample);
  if (!filtering_) release();
}

void ApproxPlan::release() {
  std::vector<std::uint32_t>().swap(first_);
  std::vector<Entry>().swap(entries_);
  std::vector<ScanEntry>().swap(scans_);
  std::vector<std::uint32_t>().swap(leads_);
  std::string().swap(keywords_);
  std::vector<Ranked>().swap(first_end_);
  std::vector<std::uint64_t>().swap(first_path_);
  std::vector<std::uint32_t>().swap(first_runs_);
  std::vector<std::uint32_t>().swap(first_next_);
  std::vector<Entry>().swap(first_entries_);
  lengths_ = 0;
}

bool ApproxPlan::build(const ApproxIndex& index, float t, std::string_view sample) {
  const ApproxIndex::Node& root = index.nodes()[0];
  if (!within_exactness_limit(root.height, root.max_name)) return false;
  bool ok = false;
  const std::vector<Keyword> keywords = keywords_to_cut(index, t, ok);
  if (!ok) return false;
  // The keywords' own model decides whether the filter pays (the same
  // decision whatever text comes first); a sample of the text, when there
  // is enough of one, places the cuts.
  const Rarity rarity(keywords);
  const std::optional<Rarity> in_text = sample.size() >= kMinSample
                                            ? std::optional<Rarity>(sample.substr(0, kMaxSample))
                                            : std::nullopt;
  slots_ = index.slots();
  std::vector<Planned> planned;
  std::vector<PlannedFirst> firsts;
  if (!plan_pieces(keywords, in_text ? *in_text : rarity, rarity, planned, firsts)) return false;
  if (!index_prints(planned)) return false;
  index_first_pieces(index, firsts);
  return memory_bytes() <= index.exact_memory_bytes();
}

struct ApproxPlan::Planned {
  std::uint64_t key;
  std::uint32_t hash;
  ScanEntry scan;
  Entry entry;
};

namespace {

// The offset of a piece's rarest print of print_len bytes under `placing`.
std::uint32_t rarest_print_at(std::string_view piece, std::uint32_t print_len,
                              const Rarity& placing) {
  std::uint32_t print_at = 0;
  double rarest = 2;
  for (std::uint32_t o = 0; o + print_len <= piece.size(); ++o) {
    const double r = placing.of(reinterpret_cast<const std::uint8_t*>(piece.data()) + o, print_len);
    if (r < rarest) {
      rarest = r;
      print_at = o;
    }
  }
  return print_at;
}

}  // namespace

template <class Keywords, class Model>
bool ApproxPlan::plan_pieces(const Keywords& keywords, const Model& placing, const Model& rarity,
                             std::vector<Planned>& planned, std::vector<PlannedFirst>& firsts) {
  double verifications = 0;
  for (const Keyword& w : keywords) {
    if (w.bytes.size() > kMaxKeyword) return false;
    const std::vector<std::size_t> at = cut(w, placing);
    const auto keyword = static_cast<std::uint32_t>(keywords_.size());
    keywords_.append(w.bytes);
    for (std::uint32_t j = 0; j <= w.k; ++j) {
      const std::string_view piece = std::string_view(w.bytes).substr(at[j], at[j + 1] - at[j]);
      const auto len = static_cast<std::uint32_t>(piece.size());
      const std::uint32_t print_len = std::min(kPrint, len);
      const std::uint32_t print_at = rarest_print_at(piece, print_len, placing);
      Entry entry{};
      entry.keyword = keyword;
      entry.name_len = w.name_len;
      entry.keyword_len = static_cast<std::uint16_t>(w.bytes.size());
      entry.piece_at = static_cast<std::uint16_t>(at[j]);
      entry.piece_len = static_cast<std::uint16_t>(len);
      entry.piece = static_cast<std::uint8_t>(j);
      entry.budget = static_cast<std::uint8_t>(w.k);
      ScanEntry scan{};
      std::memcpy(&scan.head, piece.data(), std::min<std::size_t>(len, kHead));
      scan.print_at = static_cast<std::uint16_t>(print_at);
      scan.piece_len = static_cast<std::uint16_t>(len);
      scan.back = static_cast<std::uint16_t>(print_at + at[j] + j);
      scan.width = static_cast<std::uint8_t>(2 * j + 1);
      scan.last = j == w.k ? 1 : 0;
      verifications +=
          rarity.of(reinterpret_cast<const std::uint8_t*>(piece.data()), len) * (2 * j + 1);
      if (verifications > kMaxVerifications) return false;
      max_budget_ = std::max(max_budget_, w.k);
      if (j == 0) {
        // The check on the bytes after the first piece needs a second
        // piece of at least two bytes (see verify_first_pieces).
        firsts.push_back({slot_of(slots_, piece), entry,
                          static_cast<std::uint32_t>(std::min<std::size_t>(3, at[2] - at[1]))});
        continue;
      }
      planned.push_back(
          {print_key(reinterpret_cast<const std::uint8_t*>(piece.data()) + print_at, print_len), 0,
           scan, entry});
      lengths_ |= 1u << print_len;
      max_back_ = std::max<std::uint32_t>(max_back_, scan.back);
    }
  }
  return true;
}

bool ApproxPlan::index_prints(std::vector<Planned>& planned) {
  // Entries sorted by the hash of their print, counted into first_.
  if (planned.size() > kRunMask) return false;
  hash_bits_ = std::clamp<std::uint32_t>(
      static_cast<std::uint32_t>(std::bit_width(planned.size() * kSlotsPerPiece)), kMinHashBits,
      kMaxHashBits);
  for (Planned& p : planned) p.hash = print_hash(p.key, hash_bits_);
  std::stable_sort(planned.begin(), planned.end(),
                   [](const Planned& a, const Planned& b) { return a.hash < b.hash; });
  first_.assign((std::size_t{1} << hash_bits_) + 1, 0);
  entries_.reserve(planned.size());
  scans_.reserve(planned.size());
  leads_.reserve(planned.size());
  for (const Planned& p : planned) {
    ++first_[p.hash + 1];
    scans_.push_back(p.scan);
    // The keyword's first two bytes (see scan_prints).
    const Entry& e = p.entry;
    const bool lead = p.scan.last && e.budget == 1 && e.piece_at >= 2;
    leads_.push_back(lead ? static_cast<std::uint8_t>(keywords_[e.keyword]) |
                                std::uint32_t{static_cast<std::uint8_t>(keywords_[e.keyword + 1])}
                                    << 8
                          : kAnyLead);
    entries_.push_back(p.entry);
  }
  for (std::size_t h = 1; h < first_.size(); ++h) first_[h] += first_[h - 1];
  for (const Planned& p : planned)
    first_[p.hash] |= 1u << (kRunBits + print_tag(p.key, hash_bits_));
  keywords_.append(kHead, '\0');
  keywords_.shrink_to_fit();
  return true;
}

void ApproxPlan::index_first_pieces(const ApproxIndex& index, std::vector<PlannedFirst>& firsts) {
  std::stable_sort(firsts.begin(), firsts.end(),
                   [](const PlannedFirst& a, const PlannedFirst& b) { return a.slot < b.slot; });
  const std::size_t words = (index.slot_nodes().size() + 63) / 64;
  first_end_.assign(words, Ranked{});
  first_path_.assign(words, 0);
  first_entries_.reserve(firsts.size());
  const auto* pool = reinterpret_cast<const std::uint8_t*>(keywords_.data());
  first_next_.reserve(firsts.size());
  for (std::size_t f = 0; f < firsts.size(); ++f) {
    const std::uint32_t slot = firsts[f].slot;
    if (f == 0 || firsts[f - 1].slot != slot) {
      first_runs_.push_back(static_cast<std::uint32_t>(first_entries_.size()));
      first_end_[slot >> 6].bits |= std::uint64_t{1} << (slot & 63);
    }
    const Entry& e = firsts[f].entry;
    first_entries_.push_back(e);
    // The two keyword bytes after the piece (see verify_first_pieces).
    const std::uint32_t known = firsts[f].second_len >= 2 ? firsts[f].second_len : 0;
    std::uint32_t next = known << 24;
    for (std::uint32_t b = 0; b < known; ++b) {
      next |= std::uint32_t{pool[e.keyword + e.piece_len + b]} << (8 * b);
    }
    first_next_.push_back(next);
  }
  first_runs_.push_back(static_cast<std::uint32_t>(first_entries_.size()));
  std::uint32_t rank = 0;
  for (Ranked& word : first_end_) {
    word.rank = rank;
    rank += static_cast<std::uint32_t>(std::popcount(word.bits));
  }
  // Nodes are numbered breadth first: a parent's mark is final before its
  // children are reached.
  const auto& nodes = index.nodes();
  for (const ApproxIndex::Node& node : nodes) {
    const bool below = first_piece_below(node.slot) || ends_first_piece(node.slot);
    if (!below) continue;
    first_path_[node.slot >> 6] |= std::uint64_t{1} << (node.slot & 63);
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      first_path_[nodes[c].slot >> 6] |= std::uint64_t{1} << (nodes[c].slot & 63);
    }
  }
}

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

bool ApproxPlan::end_passes(const std::uint8_t* s, std::size_t n, std::size_t stop) const {
  return end_test_passes(s, n, candidate_end(s, stop), word_, overlaps_);
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

std::size_t ApproxPlan::memory_bytes() const {
  return (first_.capacity() + first_runs_.capacity() + first_next_.capacity()) *
             sizeof(std::uint32_t) +
         (entries_.capacity() + first_entries_.capacity()) * sizeof(Entry) +
         scans_.capacity() * sizeof(ScanEntry) + leads_.capacity() * sizeof(std::uint32_t) +
         first_end_.capacity() * sizeof(Ranked) + first_path_.capacity() * sizeof(std::uint64_t) +
         keywords_.capacity() + sizeof(*this);
}

}  // namespace fernquill
