// The table of seen (node, consumed) pairs against a plain map: exact while
// the table or its rows have room, and never claiming a pair it was not
// given once they have none.
#include <cstdint>
#include <map>
#include <random>
#include <utility>

#include "approx/fewest_edits.hpp"
#include "check.hpp"

namespace {

using fernquill::FewestEdits;
using fernquill::SeenLimits;

struct Limits {
  SeenLimits seen;
  bool exact;  // every pair fits: the answers are the map's
};

TEST(fewest_edits_agrees_with_a_map_in_every_layout) {
  constexpr std::uint32_t kNodes = 300;
  const Limits layouts[] = {
      {{std::size_t{1} << 22, std::size_t{1} << 30}, true},  // the table alone
      {{16, std::size_t{1} << 30}, true},                    // rows after 8 pairs
      {{2, std::size_t{1} << 30}, true},                     // rows from the second pair
      {{16, kNodes * 2 * 3}, false},                         // three rows, then nothing kept
      {{16, 0}, false},                                      // no rows at all
  };
  std::mt19937_64 rng(21);
  for (const Limits& limits : layouts) {
    FewestEdits seen(kNodes, limits.seen);
    std::uint64_t refused = 0, kept_back = 0;
    for (int position = 0; position < 40; ++position) {
      seen.next_position();
      std::map<std::pair<std::uint32_t, std::uint64_t>, std::int64_t> fewest;
      const std::uint64_t consumed = 1 + rng() % 12;
      for (int k = 0; k < 2000; ++k) {
        const auto node = static_cast<std::uint32_t>(rng() % kNodes);
        const std::uint64_t c = rng() % consumed;
        const auto e = static_cast<std::int64_t>(rng() % 8);
        const auto it = fewest.find({node, c});
        const bool want = it == fewest.end() || e < it->second;
        const bool got = seen.improves(node, c, e);
        if (limits.exact) {
          CHECK_EQ(got, want);
        } else {
          CHECK(got || !want);  // only a pair given with no more edits is refused
          kept_back += got && !want;
        }
        if (want) fewest[{node, c}] = e;
        refused += !got;
      }
    }
    CHECK(refused > 0 || limits.seen.dense_bytes == 0);
    if (!limits.exact && limits.seen.dense_bytes != 0) CHECK(kept_back > 0);
  }
}

TEST(fewest_edits_keeps_counts_beyond_a_byte_and_what_no_row_holds) {
  FewestEdits seen(4, {2, std::size_t{1} << 20});
  seen.next_position();
  CHECK(seen.improves(1, 0, 1));
  CHECK(!seen.dense());
  CHECK(seen.improves(2, 0, 1));  // the table is full: rows from here
  CHECK(seen.dense());
  CHECK(seen.improves(3, 5, 300));
  CHECK(!seen.improves(3, 5, 300));
  CHECK(seen.improves(3, 5, 299));
  CHECK(!seen.improves(1, 0, 2));  // moved over from the table
  CHECK(seen.improves(1, 0, 0));
  // A count too large for a row, or a node past the rows, goes to the full
  // table, which may keep it or not, but never refuses fewer edits.
  CHECK(seen.improves(3, 5, 70000));
  CHECK(seen.improves(3, 5, 69999));
  CHECK(seen.improves(9, 5, 2));
  CHECK(seen.improves(9, 5, 1));
  CHECK(!seen.improves(3, 5, 299));  // the row still holds its pair
  seen.next_position();
  CHECK(!seen.dense());
  CHECK(seen.improves(3, 5, 300));  // a new position forgets everything
  CHECK(seen.improves(1, 0, 2));
}

}  // namespace
