// Where keywords are cut into pieces for the approximate plan: each
// keyword's edit budget, and cut points that make the expected number of
// verifications small under a model of how rare each piece is in the text.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "approx/approx_index.hpp"
#include "approx/plan_prints.hpp"

namespace fernquill::plan_detail {

// Size of the table of gram counts behind the rarity estimate (a transient
// of at most 4 MiB while a plan is built).
constexpr std::uint32_t kMinRarityBits = 10;
constexpr std::uint32_t kMaxRarityBits = 20;

struct Keyword {
  std::string bytes;
  std::uint32_t k;
  std::uint32_t name_len;
};

// The keywords with a budget of at least one edit. Sets `ok` to false when
// some keyword's budget is too large to cut into pieces.
std::vector<Keyword> keywords_to_cut(const ApproxIndex& index, float t, bool& ok);

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
  static constexpr std::size_t kPrint = plan_detail::kPrint;
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
std::vector<std::size_t> cut(const Keyword& w, const Rarity& rarity);

// The offset of a piece's rarest print of print_len bytes under `placing`.
std::uint32_t rarest_print_at(std::string_view piece, std::uint32_t print_len,
                              const Rarity& placing);

}  // namespace fernquill::plan_detail
