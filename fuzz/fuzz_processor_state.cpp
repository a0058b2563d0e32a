// The processor state reader on arbitrary bytes. A state that reads must
//  - hold a store whose keyword count agrees with its named nodes,
//  - write back to bytes that read to the same store, written identically
//    (a fixed point after one round: children are written in key order and
//    duplicate keys collapse on reading),
// Scans over loaded stores are fuzzed by fuzz_extract, which can take its
// store from trie bytes too.
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "state/processor_state.hpp"
#include "support/fault.hpp"

namespace {

std::size_t count_named_nodes(const fernquill::Trie& trie) {
  std::size_t named = 0;
  trie.for_each_keyword([&](std::string_view, std::string_view) { ++named; });
  return named;
}

std::string encode_trie(const fernquill::Trie& trie) {
  std::string out(fernquill::trie_state_size(trie), '\0');
  fernquill::StateWriter writer(out);
  fernquill::write_trie_state(trie, writer);
  FUZZ_CHECK(writer.remaining() == 0);
  return out;
}

std::string reencode_trie(const std::string& bytes) {
  fernquill::Trie again;
  fernquill::StateReader reader(bytes);
  fernquill::read_trie_state(reader, again);
  FUZZ_CHECK(reader.remaining() == 0);
  return encode_trie(again);
}

// What a state holds, less the word-character set when it is the default.
struct Loaded {
  std::unique_ptr<fernquill::ProcessorState> whole;
  fernquill::Trie trie;
  bool case_sensitive = false;
  bool allow_overlaps = false;
};

// Reads the input as the reader would: the whole state, or (even first
// byte) the trie and two option bytes that follow a valid word-character
// set. The second form calls the trie reader directly: the set before it
// is a fixed block, and copying and zeroing 139 KB per input would
// dominate the run.
void read_input(const std::uint8_t* data, std::size_t size, Loaded& out) {
  const std::string_view rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] & 1) {
    out.whole = fernquill::decode_processor_state(rest);
    out.trie.swap(out.whole->trie);
    out.case_sensitive = out.whole->case_sensitive;
    out.allow_overlaps = out.whole->allow_overlaps;
    return;
  }
  fernquill::StateReader in(rest);
  fernquill::read_trie_state(in, out.trie);
  out.case_sensitive = in.read_u8() & 1;
  out.allow_overlaps = in.read_u8() & 1;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  Loaded loaded;
  try {
    read_input(data, size, loaded);
  } catch (const fernquill::Fault&) {
    return 0;
  }
  fernquill::Trie& trie = loaded.trie;
  FUZZ_CHECK(trie.check_invariants().empty());
  FUZZ_CHECK(count_named_nodes(trie) == trie.keyword_count());
  const std::string first = encode_trie(trie);
  FUZZ_CHECK(reencode_trie(first) == first);

  return 0;
}
