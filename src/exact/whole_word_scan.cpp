// Exact matching with the scan options: the module's exact matching with
// two changes, each decided once per call by the template arguments.
//  - The word test: bytes through the index's tables, or whole characters
//    (CharWords below).
//  - The candidate: the longest keyword along the walk (then the end test),
//    or, with the fallback, the longest keyword along the walk that passes
//    the end test. The walk is the same; the fallback only tests the end of
//    every keyword it meets instead of the last one.
#include "exact/whole_word_scan.hpp"

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

  bool is_word_char(std::uint32_t c) const { return is_unicode_word_char(c) || words_.contains(c); }
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
    Cursor cur{c.starts, resume, 0};
    while (take_until_climb(c, accepted, cur)) {
      // The fallback of this candidate, then on with the ones after it.
      const std::uint32_t r = *cur.next++;
      if (climb(c, c.begin + r, c.walks[r])) {
        accepted[cur.taken++] = r;
        cur.at = c.begin + c.walks[r].end;
      }
    }
    resume = cur.at;
    return cur.taken;
  }

 private:
  // Where the acceptance of a chunk stands: the next candidate, the resume
  // position, and the number of candidates taken.
  struct Cursor {
    const std::uint32_t* next;
    std::size_t at;
    std::size_t taken;
  };

  // Takes the candidates from cur.next on, as the module's acceptance does:
  // without a branch on the common path, and all in locals, which the stores
  // to `accepted` cannot alias. Stops at the end of the chunk (false) or at a
  // candidate that fails its end test while a shorter keyword lies on its
  // path (true, cur.next naming it). Each of those two is as good as random
  // on text, while both together are rare. Out of line, so that nothing it
  // calls takes the registers of its loop.
  [[gnu::noinline]] bool take_until_climb(const ExactChunk& c, std::uint32_t* accepted,
                                          Cursor& cur) const {
    const Words words = words_;
    const std::uint8_t* s = c.s;
    const std::size_t n = c.n, begin = c.begin;
    const WalkResult* walks = c.walks;
    const std::uint64_t* above = index_.keyword_above_bits();
    const std::uint32_t* next = cur.next;
    const std::uint32_t* const last = c.starts + c.count;
    std::size_t at = cur.at;
    std::size_t taken = cur.taken;
    bool climb_needed = false;
    for (; next != last; ++next) {
      const std::uint32_t r = *next;
      const WalkResult walk = walks[r];
      const std::size_t st = begin + r;
      const std::size_t end = begin + walk.end;
      const std::size_t ok = (walk.found != 0) & (st >= at);
      const std::size_t take = ok & words.span_ok(s, n, st, end);
      if constexpr (kFallback) {
        if ((ok ^ take) & ScanIndex::bit_of(above, walk.found)) [[unlikely]] {
          climb_needed = true;
          break;
        }
      }
      accepted[taken] = r;
      taken += take;
      at = take ? end : at;
    }
    cur = {next, at, taken};
    return climb_needed;
  }

  // The longest keyword from st that passes the end test and is shorter
  // than the walk's, when st passes the start test; rewrites the walk and
  // returns true when there is one. It climbs from the walk's keyword
  // towards the root through the parent slots (the ones the walk just read),
  // and stops at the first keyword that passes or where no keyword lies above.
  bool climb(const ExactChunk& c, std::size_t st, WalkResult& walk) const {
    if (!words_.start_ok(c.s, c.n, st)) return false;
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
               std::string_view text, bool fallback, std::vector<KeywordMatch>& out,
               const MatchSink* sink) {
  if (fallback) {
    Acceptor<true, Words> accept(index, words);
    scan_exact_accepting(index, tables, text, kFold, accept, out, sink);
  } else {
    Acceptor<false, Words> accept(index, words);
    scan_exact_accepting(index, tables, text, kFold, accept, out, sink);
  }
}

template <bool kFold>
void scan_folded_or_not(const ScanIndex& index, const WordSet& words, std::string_view text,
                        const ScanOptions& options, std::vector<KeywordMatch>& out,
                        const MatchSink* sink) {
  if (options.unicode_words) {
    const ByteTables& tables = index.char_words(kFold);
    scan_with<kFold>(index, tables, CharWords(words, tables), text, options.whole_word_fallback,
                     out, sink);
  } else {
    const ByteTables& tables = kFold ? index.fold() : index.plain();
    scan_with<kFold>(index, tables, ByteWords(tables), text, options.whole_word_fallback, out,
                     sink);
  }
}

}  // namespace

void scan_exact_with_options(const ScanIndex& index, const WordSet& words, std::string_view text,
                             bool fold, const ScanOptions& options, std::vector<KeywordMatch>& out,
                             const MatchSink* sink) {
  if (fold) {
    scan_folded_or_not<true>(index, words, text, options, out, sink);
  } else {
    scan_folded_or_not<false>(index, words, text, options, out, sink);
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
