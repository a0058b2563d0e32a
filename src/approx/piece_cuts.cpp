#include "approx/piece_cuts.hpp"

#include <algorithm>
#include <cmath>

#include "approx/approx_score.hpp"

namespace fernquill::plan_detail {
namespace {

// Keywords longer than this are cut into equal pieces: a piece of that many
// bytes is rare whatever its bytes.
constexpr std::size_t kMaxPlannedLength = 64;

float bound_at(std::uint64_t e, std::uint64_t depth, std::uint64_t name_len) {
  return similarity(static_cast<std::int64_t>(e), std::max(depth + e, name_len));
}

// k(w): the largest e whose bound meets t, or kMaxBudget + 1 when larger.
std::uint32_t budget(std::uint64_t depth, std::uint64_t name_len, float t) {
  std::uint32_t e = 0;
  while (e <= kMaxBudget && bound_at(e + 1, depth, name_len) >= t) ++e;
  return e;
}

}  // namespace

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
      if (e > kMaxBudget || (e > 0 && e + 1 > depth)) ok = false;
      if (e > 0) out.push_back({path.substr(0, depth), e, node.name_len});
    }
    for (std::uint32_t c = node.child_begin; c < node.child_end; ++c) {
      if (nodes[c].named_below) stack.push_back({c, depth + 1});
    }
  }
  return out;
}

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
  std::array<double, (kMaxBudget + 2) * kRow> best;
  std::array<std::uint8_t, (kMaxBudget + 2) * kRow> from;
  std::fill_n(best.begin(), (pieces + 1) * kRow, kNone);
  // Pieces shorter than a print make the scan look up short, frequent
  // prints: every piece gets a full print where the keyword allows it.
  const std::size_t shortest =
      std::max<std::size_t>(1, std::min<std::size_t>(kPrint, len / pieces));
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

}  // namespace fernquill::plan_detail
