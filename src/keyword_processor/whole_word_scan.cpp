// Exact matching with the scan options: the module's exact matching with
// two changes, each decided once per call by the template arguments.
//  - The word test: bytes through the index's tables, or whole characters
//    (CharWords below).
//  - The candidate: the longest keyword along the walk (then the end test),
//    or, with the fallback, the longest keyword along the walk that passes
//    the end test. The walk is the same; the fallback only tests the end of
//    every keyword it meets instead of the last one.
#include "keyword_processor/whole_word_scan.hpp"

#include <algorithm>
#include <array>
#include <cstdint>

#include "text/lowercase.hpp"
#include "text/utf8.hpp"
#include "text/word_chars.hpp"

namespace fernquill {
namespace {

using utf8::is_continuation;
using utf8::is_trim;

// The byte test of the module's scans: a byte is a word byte when its value,
// read as a code point, is in the set.
class ByteWords {
 public:
  explicit ByteWords(const ByteTables& tables) : word_(tables.word.data()) {}
  bool start_ok(const std::uint8_t* s, std::size_t, std::size_t i) const {
    return i == 0 || !word_[s[i - 1]];
  }
  bool end_ok(const std::uint8_t* s, std::size_t n, std::size_t e) const {
    return e == n || !word_[s[e]];
  }

 private:
  const std::uint8_t* word_;
};

// The character test. An ASCII byte is classified through a table made once
// per call (the ASCII letters and digits, and the set's members); any other
// character is decoded and looked up. A byte that is not part of a valid
// character counts as a non-word character, and a match may neither start
// nor end inside a character.
class CharWords {
 public:
  CharWords(const WordSet& words, bool fold) : words_(words) {
    for (std::uint32_t b = 0; b < kAscii; ++b) {
      // A folded scan reads the text as its ASCII lower case.
      const std::uint32_t c = fold ? ascii_lower(static_cast<unsigned char>(b)) : b;
      ascii_[b] = is_word_char(c);
    }
  }

  bool start_ok(const std::uint8_t* s, std::size_t n, std::size_t i) const {
    if (i == 0) return true;
    const bool boundary = i == n || !is_continuation(s[i]);
    const std::uint8_t before = s[i - 1];
    if (before < kAscii) return boundary && !ascii_[before];
    return boundary && !word_before(s, i);
  }
  bool end_ok(const std::uint8_t* s, std::size_t n, std::size_t e) const {
    if (e == n) return true;
    const std::uint8_t at = s[e];
    if (at < kAscii) return !ascii_[at];
    return !is_continuation(at) && !word_at(s, n, e);
  }

 private:
  static constexpr std::uint32_t kAscii = 0x80;

  bool is_word_char(std::uint32_t c) const {
    return is_unicode_word_char(c) || words_.contains(c);
  }
  // The character that ends at i, whose last byte is not ASCII.
  bool word_before(const std::uint8_t* s, std::size_t i) const {
    std::size_t lead = i - 1;
    const std::size_t floor = i >= utf8::kMaxSequence ? i - utf8::kMaxSequence : 0;
    while (lead > floor && is_continuation(s[lead])) --lead;
    const utf8::Char c = utf8::decode({reinterpret_cast<const char*>(s + lead), i - lead});
    return c.length == i - lead && is_word_char(c.code_point);
  }
  // The character that starts at e, whose first byte is not ASCII.
  bool word_at(const std::uint8_t* s, std::size_t n, std::size_t e) const {
    const std::size_t avail = std::min(n - e, utf8::kMaxSequence);
    const utf8::Char c = utf8::decode({reinterpret_cast<const char*>(s + e), avail});
    return c.length != 0 && is_word_char(c.code_point);
  }

  const WordSet& words_;
  std::array<bool, kAscii> ascii_{};
};

template <bool kFold, bool kFallback, class Words>
void scan(const ScanIndex& index, const Words& words, std::string_view text,
          std::vector<KeywordMatch>& out) {
  const ByteTables& tables = kFold ? index.fold() : index.plain();
  const std::uint8_t* code = tables.code.data();
  const std::uint8_t* first = tables.first.data();
  const ScanIndex::Slot* da = index.slots();
  const std::uint32_t root_base = ScanIndex::base_of(da[ScanIndex::kRootSlot]);
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();

  std::size_t i = 0;
  while (i < n) {
    if (!first[s[i]] || !words.start_ok(s, n, i)) {
      ++i;
      continue;
    }
    // The walk from i; `found` is the keyword slot taken (0, the root, for
    // none) and `end` the offset just past it.
    std::uint32_t parent = ScanIndex::kRootSlot;
    std::uint32_t slot = root_base + code[s[i]];
    std::uint32_t found = 0;
    std::size_t end = 0;
    for (std::size_t cursor = i + 1;; ++cursor) {
      const ScanIndex::Slot v = da[slot];
      if (ScanIndex::check_of(v) != parent) break;
      if ((v & ScanIndex::kKeywordBit) && (!kFallback || words.end_ok(s, n, cursor))) {
        found = slot;
        end = cursor;
      }
      if (cursor == n) break;
      parent = slot;
      slot = ScanIndex::base_of(v) + code[s[cursor]];
    }
    if (found == 0 || (!kFallback && !words.end_ok(s, n, end))) {
      ++i;
      continue;
    }
    out.push_back({index.slot_name(found), 1.0f, is_trim(s[i]) ? i + 1 : i, end});
    i = end;
  }
}

template <bool kFold, class Words>
void scan_with(const ScanIndex& index, const Words& words, std::string_view text, bool fallback,
               std::vector<KeywordMatch>& out) {
  if (fallback) {
    scan<kFold, true>(index, words, text, out);
  } else {
    scan<kFold, false>(index, words, text, out);
  }
}

template <bool kFold>
void scan_folded_or_not(const ScanIndex& index, const WordSet& words, std::string_view text,
                        const ScanOptions& options, std::vector<KeywordMatch>& out) {
  if (options.unicode_words) {
    scan_with<kFold>(index, CharWords(words, kFold), text, options.whole_word_fallback, out);
  } else {
    const ByteTables& tables = kFold ? index.fold() : index.plain();
    scan_with<kFold>(index, ByteWords(tables), text, options.whole_word_fallback, out);
  }
}

}  // namespace

void scan_exact_with_options(const ScanIndex& index, const WordSet& words, std::string_view text,
                             bool fold, const ScanOptions& options,
                             std::vector<KeywordMatch>& out) {
  if (fold) {
    scan_folded_or_not<true>(index, words, text, options, out);
  } else {
    scan_folded_or_not<false>(index, words, text, options, out);
  }
}

void keep_unicode_whole_words(const WordSet& words, std::string_view text,
                              std::vector<KeywordMatch>& matches) {
  const CharWords test(words, false);
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::erase_if(matches, [&](const KeywordMatch& m) {
    // An inverted span (a lone trimmed byte) lies between two trim bytes.
    if (m.start > m.end) return false;
    return m.end > n || !test.start_ok(s, n, m.start) || !test.end_ok(s, n, m.end);
  });
}

}  // namespace fernquill
