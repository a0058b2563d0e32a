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
#include "approx/piece_cuts.hpp"
#include "approx/plan_prints.hpp"
#include "exact/scan_index.hpp"

namespace fernquill {
namespace {

// Above this estimated number of verifications per text byte the filter
// costs more than the searches it saves (measured on English text with
// typos: about 1 pays well at t = 0.9, about 9 costs more than it saves).
constexpr double kMaxVerifications = 3.0;
// Longest keyword the banded verification takes (its cost grows with it).
constexpr std::size_t kMaxKeyword = 4096;
// Size of the hash table of prints: about this many slots per piece (most
// lookups are misses, which an empty slot answers), within these limits.
constexpr std::uint32_t kSlotsPerPiece = 2;
constexpr std::uint32_t kMinHashBits = 8;
constexpr std::uint32_t kMaxHashBits = 22;
// Bytes of the scanned text counted for the cut points: fewer than the
// minimum say too little, more than the maximum add little.
constexpr std::size_t kMinSample = std::size_t{1} << 12;
constexpr std::size_t kMaxSample = std::size_t{1} << 18;

// The double-array slot of the trie node that spells `path` (a prefix of a
// stored keyword, so every step exists).
std::uint32_t slot_of(const ScanIndex::Slot* da, std::string_view path) {
  std::uint32_t at = ScanIndex::kRootSlot;
  for (const char b : path) at = ScanIndex::base_of(da[at]) + static_cast<std::uint8_t>(b);
  return at;
}

}  // namespace

using namespace plan_detail;

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

std::size_t ApproxPlan::memory_bytes() const {
  return (first_.capacity() + first_runs_.capacity() + first_next_.capacity()) *
             sizeof(std::uint32_t) +
         (entries_.capacity() + first_entries_.capacity()) * sizeof(Entry) +
         scans_.capacity() * sizeof(ScanEntry) + leads_.capacity() * sizeof(std::uint32_t) +
         first_end_.capacity() * sizeof(Ranked) + first_path_.capacity() * sizeof(std::uint64_t) +
         keywords_.capacity() + sizeof(*this);
}

}  // namespace fernquill
