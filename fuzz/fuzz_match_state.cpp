// The match state reader on arbitrary bytes: it either fails with a Fault or
// returns fields whose encoding reads back to the same fields and bytes.
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "state/match_state.hpp"
#include "support/fault.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  fernquill::MatchFields fields;
  try {
    fields = fernquill::decode_match_state(input);
  } catch (const fernquill::Fault&) {
    return 0;
  }
  const std::string encoded =
      fernquill::encode_match_state(fields.keyword, fields.similarity, fields.start, fields.end);
  FUZZ_CHECK(encoded.size() == fernquill::match_state_size(fields.keyword.size()));
  // Bytes after the state are ignored, so the input starts with its encoding.
  FUZZ_CHECK(input.substr(0, encoded.size()) == encoded);
  const fernquill::MatchFields again = fernquill::decode_match_state(encoded);
  FUZZ_CHECK(again.keyword == fields.keyword && again.start == fields.start &&
             again.end == fields.end);
  return 0;
}
