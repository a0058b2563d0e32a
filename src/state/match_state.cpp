#include "state/match_state.hpp"

#include "support/fault.hpp"

namespace fernquill {

void write_match_state(std::span<char> out, std::string_view keyword, float similarity,
                       std::size_t start, std::size_t end) {
  StateWriter writer(out);
  writer.put_text(keyword);
  writer.put_f32(similarity);
  writer.put_u64(start);
  writer.put_u64(end);
  if (writer.remaining() != 0) throw Fault("match state: buffer larger than the state");
}

std::string encode_match_state(std::string_view keyword, float similarity, std::size_t start,
                               std::size_t end) {
  std::string out(match_state_size(keyword.size()), '\0');
  write_match_state(out, keyword, similarity, start, end);
  return out;
}

MatchFields decode_match_state(std::string_view state, std::uint64_t max_size) {
  StateReader reader(state, max_size);
  const std::string_view keyword = reader.read_text();
  const float similarity = reader.read_f32();
  const std::uint64_t start = reader.read_usize();
  const std::uint64_t end = reader.read_usize();
  return MatchFields{std::string(keyword), similarity, static_cast<std::size_t>(start),
                     static_cast<std::size_t>(end)};
}

}  // namespace fernquill
