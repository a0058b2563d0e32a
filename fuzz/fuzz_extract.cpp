// Extraction and replacement on random stores and texts against the literal
// search. Input layout:
//   byte 0: bit 0 case_sensitive, bit 1 allow_overlaps, bit 2 the store
//           comes from a loaded trie state rather than a keyword list,
//           bits 3-5 pick the threshold;
//   byte 1: a code point added to the word characters (0: none);
//   byte 2: length L of the store description that follows;
//   L bytes: keywords separated by '|' (each is its own clean name, or the
//           part after '=' when there is one), or the trie bytes of a state;
//   the rest: the text.
// The reference search has no pruning and grows exponentially with the
// edits allowed, so approximate inputs keep the text and store short.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fuzz_common.hpp"
#include "keyword_processor/extract.hpp"
#include "keyword_processor/keyword_processor.hpp"
#include "literal_search.hpp"
#include "state/processor_state.hpp"
#include "support/fault.hpp"
#include "text/utf8.hpp"

namespace {

constexpr std::size_t kMaxExactText = 256;
constexpr std::size_t kMaxApproxText = 12;
constexpr std::size_t kMaxApproxStore = 64;
constexpr float kThresholds[] = {1.0f, 1.0f, 0.95f, 0.9f, 0.85f, 0.8f, 0.75f, 0.7f};

bool valid_utf8(std::string_view s) { return !fernquill::utf8::find_error(s).has_value(); }

void add_keyword_list(fernquill::KeywordProcessor& kp, std::string_view store_input) {
  while (true) {
    const std::size_t bar = store_input.find('|');
    const std::string_view item = store_input.substr(0, bar);
    const std::size_t eq = item.find('=');
    if (eq == std::string_view::npos) {
      kp.add_keyword(item, std::nullopt);
    } else {
      kp.add_keyword(item.substr(0, eq), item.substr(eq + 1));
    }
    if (bar == std::string_view::npos) return;
    store_input.remove_prefix(bar + 1);
  }
}

// The state's options come from byte 0, so the trie bytes are followed by
// the two option bytes here.
bool load_trie(fernquill::KeywordProcessor& kp, std::string_view trie_bytes, bool case_sensitive,
               bool allow_overlaps) {
  static fuzz::StateWithHeader header;
  std::string tail(trie_bytes);
  tail.push_back(case_sensitive ? 1 : 0);
  tail.push_back(allow_overlaps ? 1 : 0);
  std::unique_ptr<fernquill::ProcessorState> loaded;
  try {
    loaded = fernquill::decode_processor_state(header.with(tail));
  } catch (const fernquill::Fault&) {
    return false;
  }
  kp.replace_state(loaded->words, std::move(loaded->trie), loaded->case_sensitive,
                   loaded->allow_overlaps);
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const bool case_sensitive = data[0] & 1;
  const bool allow_overlaps = data[0] & 2;
  const bool from_state = data[0] & 4;
  const float t = kThresholds[(data[0] >> 3) & 7];
  const std::size_t store_size = std::min<std::size_t>(data[2], size - 3);
  const std::string_view store_input(reinterpret_cast<const char*>(data) + 3, store_size);
  std::string_view text(reinterpret_cast<const char*>(data) + 3 + store_size,
                        size - 3 - store_size);
  if (t < 1.0f && store_size > kMaxApproxStore) return 0;
  text = text.substr(0, t < 1.0f ? kMaxApproxText : kMaxExactText);

  fernquill::KeywordProcessor kp(case_sensitive, allow_overlaps);
  if (from_state) {
    if (!load_trie(kp, store_input, case_sensitive, allow_overlaps)) return 0;
  } else {
    add_keyword_list(kp, store_input);
  }
  if (data[1] != 0) kp.add_word_char(data[1]);

  const auto got = fernquill::extract_keywords(kp, text, t);
  const auto want = oracle::extract(kp, text, t);
  FUZZ_CHECK(oracle::same(got, want));

  // Replacement of a valid text with valid clean names gives a valid text.
  if (valid_utf8(text) && (from_state || valid_utf8(store_input))) {
    const std::string replaced = fernquill::replace_keywords(kp, text, t);
    FUZZ_CHECK(valid_utf8(replaced));
  }
  return 0;
}
