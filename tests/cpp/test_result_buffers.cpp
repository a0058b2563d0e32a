// Result offsets grow from 32 to 64 bits at the value that needs it, and
// keep every value they held; joined blocks keep the width of their parts.
#include <cstdint>
#include <cstring>
#include <limits>
#include <vector>

#include "check.hpp"
#include "arrow/result_buffers.hpp"

using namespace fernquill::columns;

namespace {

constexpr std::size_t kMax32 = std::numeric_limits<std::int32_t>::max();

// The offsets as their Arrow buffer holds them.
std::vector<std::int64_t> buffer_values(const Offsets& o) {
  std::vector<std::int64_t> values(o.size());
  for (std::size_t i = 0; i < o.size(); ++i) {
    if (o.wide()) {
      std::memcpy(&values[i], static_cast<const std::int64_t*>(o.data()) + i, 8);
    } else {
      std::int32_t v;
      std::memcpy(&v, static_cast<const std::int32_t*>(o.data()) + i, 4);
      values[i] = v;
    }
  }
  return values;
}

}  // namespace

TEST(offsets_widen_at_the_first_value_past_32_bits) {
  Offsets o;
  o.push(5);
  o.push(kMax32);
  CHECK(!o.wide());
  o.push(kMax32 + 1);
  CHECK(o.wide());
  o.push(kMax32 + 7);
  const std::vector<std::int64_t> want = {0, 5, kMax32, kMax32 + 1, kMax32 + 7};
  CHECK(buffer_values(o) == want);
}

TEST(shifted_offsets_widen_when_the_base_takes_them_past_32_bits) {
  Offsets first, second;
  first.push(10);
  second.push(3);
  second.push(9);
  first.append_shifted(second, kMax32 - 5);
  CHECK(first.wide());
  const std::vector<std::int64_t> want = {0, 10, kMax32 - 2, kMax32 + 4};
  CHECK(buffer_values(first) == want);
}

TEST(joined_string_blocks_keep_their_width) {
  std::vector<StringsBlock> blocks(2);
  for (StringsBlock& b : blocks) {
    b.offsets.widen();
    b.append_replaced("ab", {});
    b.append_null();
  }
  StringsBlock all = StringsBlock::joining(blocks);
  for (const StringsBlock& b : blocks) all.append_block(b);
  CHECK(all.offsets.wide());
  CHECK(all.data == "abab");
  CHECK(all.validity.nulls == 2 && all.rows() == 4);
  const std::vector<std::int64_t> want = {0, 2, 2, 4, 4};
  CHECK(buffer_values(all.offsets) == want);
}
