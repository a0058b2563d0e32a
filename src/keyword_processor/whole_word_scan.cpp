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
#include <cstdint>

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
  // Without a branch: at the end it reads the byte before, and ignores it.
  bool end_ok(const std::uint8_t* s, std::size_t n, std::size_t e) const {
    const bool at_end = e >= n;
    return at_end | !word_[s[e - at_end]];
  }
  // Both tests of a candidate [i, e) that the exact scan let through: its
  // start test is this one, so only the end is left.
  bool span_ok(const std::uint8_t* s, std::size_t n, std::size_t, std::size_t e) const {
    return end_ok(s, n, e);
  }

 private:
  const std::uint8_t* word_;
};

// The character test. An ASCII byte is classified through the index's
// char_words table (the ASCII letters and digits, and the set's members);
// any other character is decoded and looked up. A byte that is not part of
// a valid character counts as a non-word character, and a match may
// neither start nor end inside a character.
class CharWords {
 public:
  CharWords(const WordSet& words, const ByteTables& char_words)
      : words_(words), ascii_word_(char_words.word.data()) {}

  bool start_ok(const std::uint8_t* s, std::size_t n, std::size_t i) const {
    if (i == 0) return true;
    const bool boundary = i == n || !is_continuation(s[i]);
    const std::uint8_t before = s[i - 1];
    if (before < kAscii) return boundary && !ascii_word_[before];
    return boundary && !word_before(s, i);
  }
  bool end_ok(const std::uint8_t* s, std::size_t n, std::size_t e) const {
    if (e >= n) return true;
    const std::uint8_t at = s[e];
    if (at < kAscii) return !ascii_word_[at];
    return !is_continuation(at) && !word_at(s, n, e);
  }
  // Both tests of a candidate [i, e) of the exact scan. Where the bytes on
  // both sides are ASCII (or absent), they are the characters (in valid
  // UTF-8 an ASCII byte is a whole character and the bytes after it start
  // one), and the tests take two table loads and no branch.
  bool span_ok(const std::uint8_t* s, std::size_t n, std::size_t i, std::size_t e) const {
    const bool at_start = i == 0;
    const bool at_end = e >= n;
    const std::uint8_t before = s[i - !at_start];
    const std::uint8_t after = s[e - at_end];
    if (((before | after) & kAscii) != 0) return start_ok(s, n, i) && end_ok(s, n, e);
    return (at_start | !ascii_word_[before]) & (at_end | !ascii_word_[after]);
  }

 private:
  static constexpr std::uint8_t kAscii = 0x80;

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
  const std::uint8_t* ascii_word_;
};

// Takes the exact scan's candidates in text order with the options' tests.
// The scan's start test (the byte tables of `Words`) lets through a superset
// of the starts; the longest keyword of each walk is the candidate, and
// with the fallback a candidate that fails the end test climbs its path
// for the longest keyword that passes it, when the index says that a
// shorter keyword lies on the path.
template <bool kFallback, class Words>
class Acceptor final : public ExactAcceptor {
 public:
  Acceptor(const ScanIndex& index, const Words& words)
      : index_(index), da_(index.slots()), words_(words) {}

  std::size_t accept(const ExactChunk& c, std::uint32_t* accepted, std::size_t& resume) override {
    // As the module's acceptance, without a branch on the common path; all
    // in locals, which the stores to `accepted` cannot alias.
    const Words words = words_;
    const std::uint8_t* s = c.s;
    const std::size_t n = c.n, begin = c.begin;
    std::size_t at = resume;
    std::size_t taken = 0;
    for (std::size_t k = 0; k < c.count; ++k) {
      const std::uint32_t r = c.starts[k];
      const std::size_t st = begin + r;
      WalkResult walk = c.walks[r];
      bool ok = (walk.found != 0) & (st >= at);
      bool span_ok = words.span_ok(s, n, st, begin + walk.end);
      if constexpr (kFallback) {
        // The start test passes when a shorter keyword is sought.
        if (ok && !span_ok && index_.keyword_above(walk.found) && words.start_ok(s, n, st))
            [[unlikely]] {
          span_ok = climb(c, walk);
          c.walks[r] = walk;
        }
      }
      ok &= span_ok;
      accepted[taken] = r;
      taken += ok;
      at = ok ? begin + walk.end : at;
    }
    resume = at;
    return taken;
  }

 private:
  // The longest keyword from st that passes the end test and is shorter
  // than the walk's; rewrites the walk and returns true when there is one.
  // It climbs from the walk's keyword towards the root through the parent
  // slots (the ones the walk just read), and stops at the first keyword that
  // passes or where no keyword lies above.
  bool climb(const ExactChunk& c, WalkResult& walk) const {
    std::uint32_t slot = walk.found;
    std::size_t end = c.begin + walk.end;
    while (index_.keyword_above(slot)) {
      slot = ScanIndex::check_of(da_[slot]);
      --end;
      if ((da_[slot] & ScanIndex::kKeywordBit) && words_.end_ok(c.s, c.n, end)) {
        walk = {slot, static_cast<std::uint32_t>(end - c.begin)};
        return true;
      }
    }
    return false;
  }

  const ScanIndex& index_;
  const ScanIndex::Slot* da_;
  const Words& words_;
};

template <bool kFold, class Words>
void scan_with(const ScanIndex& index, const ByteTables& tables, const Words& words,
               std::string_view text, bool fallback, std::vector<KeywordMatch>& out) {
  if (fallback) {
    Acceptor<true, Words> accept(index, words);
    scan_exact_accepting(index, tables, text, kFold, accept, out);
  } else {
    Acceptor<false, Words> accept(index, words);
    scan_exact_accepting(index, tables, text, kFold, accept, out);
  }
}

template <bool kFold>
void scan_folded_or_not(const ScanIndex& index, const WordSet& words, std::string_view text,
                        const ScanOptions& options, std::vector<KeywordMatch>& out) {
  if (options.unicode_words) {
    const ByteTables& tables = index.char_words(kFold);
    scan_with<kFold>(index, tables, CharWords(words, tables), text, options.whole_word_fallback,
                     out);
  } else {
    const ByteTables& tables = kFold ? index.fold() : index.plain();
    scan_with<kFold>(index, tables, ByteWords(tables), text, options.whole_word_fallback, out);
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

void keep_unicode_whole_words(const ScanIndex& index, const WordSet& words, std::string_view text,
                              std::vector<KeywordMatch>& matches) {
  const CharWords test(words, index.char_words(false));
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  std::erase_if(matches, [&](const KeywordMatch& m) {
    // An inverted span (a lone trimmed byte) lies between two trim bytes.
    if (m.start > m.end) return false;
    return m.end > n || !test.start_ok(s, n, m.start) || !test.end_ok(s, n, m.end);
  });
}

}  // namespace fernquill
