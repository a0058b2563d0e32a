// Exact matching over the double array: at every position allowed by the
// start test, the longest keyword along the walk is the only candidate.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <iterator>
#include <memory>

#include "exact/scan_index.hpp"
#include "support/interrupt.hpp"
#include "support/prefetch.hpp"
#include "text/utf8.hpp"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace fernquill {
namespace {

using utf8::is_trim;

// The candidate positions of a 4 KiB chunk are found first (the start test
// sixteen bytes at a time), then all their walks are run: on a large store
// they advance together, one byte per round, so that their trie loads
// overlap instead of waiting on each other (which pays on a store that stays
// in cache too: the rounds have no branch to mispredict). A walk's result depends
// only on its start, not on where the scan resumed, so walks may run ahead;
// the results are then taken in text order exactly as a sequential scan
// would: a candidate inside an accepted span is passed over.
constexpr std::size_t kChunk = 4096;

// The walks in flight are held as two arrays: the slot to read this round
// with, in the high half, the slot it must name as its parent; and the
// offset of the walk's first byte. All live walks of a chunk have taken the
// same number of steps, so the cursor follows from the start and the round. Offsets are relative to
// the chunk: a walk is never longer than the trie is deep, which the double array bounds below
// 2^31.

// The last keyword a walk met, by start offset: its slot (0 for none, the
// root is never one) and the offset just past it.
using Result = WalkResult;

// Working storage for one chunk, kept per thread: a batch of short texts
// calls the scan once per text and must not allocate each time. It grows to
// the largest chunk seen, never beyond kChunk entries.
struct Buffers {
  std::unique_ptr<std::uint32_t[]> starts;
  std::unique_ptr<Result[]> results;  // one more entry takes writes that are not kept
  std::unique_ptr<std::uint64_t[]> walk;
  std::unique_ptr<std::uint32_t[]> walk_start;
  std::unique_ptr<std::uint32_t[]> accepted;
  std::size_t room = 0;

  void reserve(std::size_t size) {
    if (size <= room) return;
    starts.reset(new std::uint32_t[size]);
    results.reset(new Result[size + 1]);
    walk.reset(new std::uint64_t[size]);
    walk_start.reset(new std::uint32_t[size]);
    accepted.reset(new std::uint32_t[size]);
    room = size;
  }
};

Buffers& thread_buffers() {
  thread_local Buffers buffers;
  return buffers;
}

#ifdef __SSE2__
// Bit j set when p[j] is not a word byte, for 16 bytes; the word bytes are
// kRanges ranges, tested with a wrapping subtraction and a saturating one.
template <std::size_t kRanges>
inline std::uint32_t non_word_mask16(const std::uint8_t* p, const __m128i* lo,
                                     const __m128i* span) {
  const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i zero = _mm_setzero_si128();
  __m128i word = zero;
  for (std::size_t r = 0; r < kRanges; ++r) {
    const __m128i off = _mm_subs_epu8(_mm_sub_epi8(x, lo[r]), span[r]);
    word = _mm_or_si128(word, _mm_cmpeq_epi8(off, zero));
  }
  return static_cast<std::uint32_t>(_mm_movemask_epi8(word)) ^ 0xFFFFu;
}

// Appends position base + j for each set bit j of m whose byte p[j] can start
// a keyword (each is written, and kept only then); returns the new count.
template <class Mask>
inline std::size_t push_starts(Mask m, const std::uint8_t* p, std::uint32_t base,
                               const std::uint8_t* first, std::uint32_t* starts, std::size_t c) {
  while (m != 0) {
    const auto j = static_cast<std::uint32_t>(std::countr_zero(m));
    starts[c] = base + j;
    c += first[p[j]];
    m &= m - 1;
  }
  return c;
}

// Candidate positions of [i, limit) for a scan with word-boundary tests, i
// at least 1: the previous byte is tested sixteen at a time, the first byte
// of a keyword only at the few positions that pass. Returns where it
// stopped; the rest is left to the byte-wise loop.
template <std::size_t kRanges>
std::size_t gather_vector(const ByteTables& tables, const std::uint8_t* s, std::size_t i,
                          std::size_t limit, std::size_t chunk, std::uint32_t* starts,
                          std::size_t& count) {
  __m128i lo[kRanges > 0 ? kRanges : 1], span[kRanges > 0 ? kRanges : 1];
  for (std::size_t r = 0; r < kRanges; ++r) {
    lo[r] = _mm_set1_epi8(static_cast<char>(tables.range_lo[r]));
    span[r] = _mm_set1_epi8(static_cast<char>(tables.range_span[r]));
  }
  const std::uint8_t* first = tables.first.data();
  std::size_t c = count;
  // Bit j of a mask stands for position i + j, whose previous byte is
  // s[i + j - 1].
  for (; i + 64 <= limit; i += 64) {
    std::uint64_t m = non_word_mask16<kRanges>(s + i - 1, lo, span);
    m |= std::uint64_t{non_word_mask16<kRanges>(s + i + 15, lo, span)} << 16;
    m |= std::uint64_t{non_word_mask16<kRanges>(s + i + 31, lo, span)} << 32;
    m |= std::uint64_t{non_word_mask16<kRanges>(s + i + 47, lo, span)} << 48;
    c = push_starts(m, s + i, static_cast<std::uint32_t>(i - chunk), first, starts, c);
  }
  for (; i + 16 <= limit; i += 16) {
    const std::uint32_t m = non_word_mask16<kRanges>(s + i - 1, lo, span);
    c = push_starts(m, s + i, static_cast<std::uint32_t>(i - chunk), first, starts, c);
  }
  count = c;
  return i;
}
#endif

// Candidate positions of [i, limit): those that pass the start test and
// whose byte starts a keyword, as offsets from `chunk`.
std::size_t gather(const ByteTables& tables, bool overlaps, const std::uint8_t* s, std::size_t i,
                   std::size_t limit, std::size_t chunk, std::uint32_t* starts) {
  std::size_t count = 0;
  const std::uint8_t* first = tables.first.data();
  if (overlaps) {
    for (; i < limit; ++i) {
      starts[count] = static_cast<std::uint32_t>(i - chunk);
      count += first[s[i]];
    }
    return count;
  }
  if (i == 0 && i < limit) {
    starts[count] = 0;
    count += first[s[0]];
    ++i;
  }
#ifdef __SSE2__
  // One instantiation per number of word-byte ranges, picked once per chunk.
  using Gather = std::size_t (*)(const ByteTables&, const std::uint8_t*, std::size_t, std::size_t,
                                 std::size_t, std::uint32_t*, std::size_t&);
  static constexpr Gather kGather[] = {gather_vector<0>, gather_vector<1>, gather_vector<2>,
                                       gather_vector<3>, gather_vector<4>};
  if (tables.word_ranges < std::size(kGather)) {
    i = kGather[tables.word_ranges](tables, s, i, limit, chunk, starts, count);
  }
#endif
  // Each position reads its own previous byte: carrying the previous byte's
  // class from one iteration to the next would chain the table loads into
  // one long dependency.
  const std::uint8_t* word = tables.word.data();
  for (; i < limit; ++i) {
    starts[count] = static_cast<std::uint32_t>(i - chunk);
    count += first[s[i]] & (word[s[i - 1]] ^ 1);
  }
  return count;
}

// One round: every live walk reads its slot. A walk that goes on is moved
// down over the ones that stopped and prefetches the slot of its next round,
// which it reads only after every other walk has had its turn. Written
// without conditions: whether a walk goes on is as good as random, and a
// mispredicted branch costs more than the round. With kNearEnd a walk may
// reach the end of the text (`rest` bytes after the chunk's start).
template <bool kFold, bool kNearEnd>
std::size_t advance(const ScanIndex::Slot* da, const std::uint8_t* code, const std::uint8_t* sc,
                    std::size_t rest, std::uint32_t depth, std::uint64_t* walk,
                    std::uint32_t* start, Result* results, std::uint32_t discard,
                    std::size_t live) {
  std::size_t kept = 0;
  for (std::size_t a = 0; a < live; ++a) {
    const std::uint64_t w = walk[a];
    const std::uint32_t st = start[a];
    const auto t = static_cast<std::uint32_t>(w);
    const ScanIndex::Slot v = da[t];
    // Bit 0 the slot's keyword bit, the bits above zero when the slot's
    // check names the walk's parent: 0 or 1 for a child, 1 for a keyword.
    const std::uint64_t y = (v ^ w) >> 31;
    const std::uint32_t cursor = st + depth;
    results[y == 1 ? st : discard] = {t, cursor};
    std::uint32_t more = y <= 1;
    std::uint32_t at = cursor;
    if constexpr (kNearEnd) {
      // At the end the walk stops; it reads the byte before instead, and the
      // slot that gives is masked out.
      more &= cursor < rest;
      at -= cursor >= rest;
    }
    const std::uint32_t byte = kFold ? code[sc[at]] : sc[at];
    const std::uint32_t next = (ScanIndex::base_of(v) + byte) & (0u - more);
    prefetch(da + next);
    walk[kept] = next | (w << 32);
    start[kept] = st;
    kept += more;
  }
  return kept;
}

// The walks one at a time, each to its end.
template <bool kFold>
void walk_each(const ScanIndex::Slot* da, const std::uint8_t* code, const std::uint8_t* sc,
               std::size_t rest, const std::uint64_t* walk, const std::uint32_t* start,
               Result* results, std::size_t live) {
  for (std::size_t a = 0; a < live; ++a) {
    const std::uint32_t st = start[a];
    auto t = static_cast<std::uint32_t>(walk[a]);
    auto parent = static_cast<std::uint32_t>(walk[a] >> 32);
    std::size_t cursor = st + 2;
    while (true) {
      const ScanIndex::Slot v = da[t];
      if (ScanIndex::check_of(v) != parent) break;
      if (v & ScanIndex::kKeywordBit) results[st] = {t, static_cast<std::uint32_t>(cursor)};
      if (cursor >= rest) break;
      parent = t;
      t = ScanIndex::base_of(v) + (kFold ? code[sc[cursor]] : sc[cursor]);
      ++cursor;
    }
  }
}

// Queues the walks of the chunk's candidates. Their first step is known to
// succeed (the byte starts a keyword); each walk is queued with the slot its
// second byte leads to, and a walk at the last byte of the text stops here.
// Returns the number queued.
template <bool kFold>
std::size_t start_walks(const ScanIndex& index, const ByteTables& tables, const ExactChunk& c,
                        std::uint64_t* walk, std::uint32_t* walk_start) {
  const ScanIndex::Slot* da = index.slots();
  const std::uint32_t root_base = ScanIndex::base_of(da[ScanIndex::kRootSlot]);
  auto code = [&](std::uint8_t b) -> std::uint32_t { return kFold ? tables.code[b] : b; };
  Result* results = c.walks;
  std::size_t live = 0;
  for (std::size_t k = 0; k < c.count; ++k) {
    const std::uint32_t r = c.starts[k];
    const std::size_t i = c.begin + r;
    const std::uint32_t t = root_base + code(c.s[i]);
    const ScanIndex::Slot v = da[t];
    const std::uint32_t hit = 0u - static_cast<std::uint32_t>((v >> 31) & 1);
    results[r] = {t & hit, r + 1};
    const bool more = i + 1 < c.n;
    const std::uint32_t next = more ? ScanIndex::base_of(v) + code(c.s[i + 1]) : 0;
    prefetch(da + next);
    walk[live] = next | (std::uint64_t{t} << 32);
    walk_start[live] = r;
    live += more;
  }
  return live;
}

// Runs the queued walks to their ends, filling the chunk's walks: in rounds
// unless asked for one at a time.
template <bool kFold>
void run_walks(const ScanIndex& index, const ByteTables& tables, const ExactChunk& c,
               Buffers& buffers, std::size_t live, ExactWalk how) {
  const ScanIndex::Slot* da = index.slots();
  const std::size_t rest = c.n - c.begin;
  const std::uint8_t* sc = c.s + c.begin;
  Result* results = c.walks;
  std::uint64_t* walk = buffers.walk.get();
  std::uint32_t* walk_start = buffers.walk_start.get();
  if (how == ExactWalk::kEach) {
    walk_each<kFold>(da, tables.code.data(), sc, rest, walk, walk_start, results, live);
    return;
  }
  const auto discard = static_cast<std::uint32_t>(buffers.room);
  for (std::uint32_t depth = 2; live > 0; ++depth) {
    if (kChunk + depth <= rest) {
      live = advance<kFold, false>(da, tables.code.data(), sc, rest, depth, walk, walk_start,
                                   results, discard, live);
    } else {
      live = advance<kFold, true>(da, tables.code.data(), sc, rest, depth, walk, walk_start,
                                  results, discard, live);
    }
  }
}

// Takes the results in text order, as a sequential scan does: a keyword is
// accepted when its walk starts at or after the resume position and it
// passes the end test. Writes the accepted candidates' offsets to
// `accepted`, moves `resume` past each, and returns how many there are.
std::size_t accept_in_order(const ByteTables& tables, bool overlaps, const ExactChunk& c,
                            std::uint32_t* accepted, std::size_t& resume) {
  const std::uint8_t* word = tables.word.data();
  const Result* results = c.walks;
  std::size_t taken = 0;
  for (std::size_t k = 0; k < c.count; ++k) {
    const std::size_t st = c.begin + c.starts[k];
    const Result res = results[c.starts[k]];
    const std::size_t end = c.begin + res.end;
    const std::size_t at_end = end >= c.n;
    const std::size_t free_end = at_end | overlaps | (word[c.s[end - at_end]] ^ 1u);
    const std::size_t ok = (res.found != 0) & (st >= resume) & free_end;
    accepted[taken] = c.starts[k];
    taken += ok;
    resume = ok ? end : resume;
  }
  return taken;
}

[[gnu::always_inline]] inline void record_accepted(const ScanIndex& index, const ExactChunk& c,
                                                   const std::uint32_t* accepted, std::size_t taken,
                                                   std::vector<KeywordMatch>& out) {
  const Result* results = c.walks;
  for (std::size_t a = 0; a < taken; ++a) {
    prefetch(index.slot_name_entry(results[accepted[a]].found));
  }
  if (out.capacity() - out.size() < taken) {
    out.reserve(std::max(out.size() + taken, out.capacity() * 2));
  }
  for (std::size_t a = 0; a < taken; ++a) {
    const std::uint32_t r = accepted[a];
    const std::size_t st = c.begin + r;
    out.push_back({index.slot_name(results[r].found), 1.0f, is_trim(c.s[st]) ? st + 1 : st,
                   c.begin + results[r].end});
  }
}

// With a sink, the matches are handed over once this many have gathered.
constexpr std::size_t kSinkPiece = 512;

// `accept(chunk, accepted, resume)` takes the chunk's candidates
// in text order (accept_in_order, or an ExactAcceptor's).
template <bool kFold, class Accept>
void scan_chunks(const ScanIndex& index, const ByteTables& tables, std::string_view text,
                 Accept&& accept, std::vector<KeywordMatch>& out, ExactWalk how,
                 const MatchSink* sink) {
  const auto* s = reinterpret_cast<const std::uint8_t*>(text.data());
  const std::size_t n = text.size();
  const bool overlaps = index.allow_overlaps();
  Buffers& buffers = thread_buffers();
  buffers.reserve(std::min(n, kChunk));

  std::size_t resume = 0;
  for (std::size_t begin = 0; begin < n; begin += kChunk) {
    // Between chunks this scan holds nothing a check could disturb.
    interruption_point();
    const std::size_t limit = std::min(n, begin + kChunk);
    std::uint32_t* starts = buffers.starts.get();
    ExactChunk c{s, n, begin, starts, 0, buffers.results.get()};
    c.count = gather(tables, overlaps, s, std::max(begin, resume), limit, begin, starts);
    if (c.count == 0) continue;
    const std::size_t live =
        start_walks<kFold>(index, tables, c, buffers.walk.get(), buffers.walk_start.get());
    run_walks<kFold>(index, tables, c, buffers, live, how);
    const std::size_t taken = accept(c, buffers.accepted.get(), resume);
    record_accepted(index, c, buffers.accepted.get(), taken, out);
    // Handed over between chunks, when this scan no longer needs the
    // per-thread buffers (the sink may run a scan of its own).
    if (sink != nullptr && out.size() >= kSinkPiece) {
      (*sink)(out);
      out.clear();
    }
  }
  if (sink != nullptr && !out.empty()) {
    (*sink)(out);
    out.clear();
  }
}

}  // namespace

void scan_exact(const ScanIndex& index, std::string_view text, bool fold,
                std::vector<KeywordMatch>& out, ExactWalk how, const MatchSink* sink) {
  const ByteTables& tables = fold ? index.fold() : index.plain();
  auto in_order = [&](const ExactChunk& c, std::uint32_t* accepted, std::size_t& resume) {
    return accept_in_order(tables, index.allow_overlaps(), c, accepted, resume);
  };
  if (fold) {
    scan_chunks<true>(index, tables, text, in_order, out, how, sink);
  } else {
    scan_chunks<false>(index, tables, text, in_order, out, how, sink);
  }
}

void scan_exact_accepting(const ScanIndex& index, const ByteTables& tables, std::string_view text,
                          bool fold, ExactAcceptor& acceptor, std::vector<KeywordMatch>& out,
                          const MatchSink* sink) {
  auto accept = [&](const ExactChunk& c, std::uint32_t* accepted, std::size_t& resume) {
    return acceptor.accept(c, accepted, resume);
  };
  if (fold) {
    scan_chunks<true>(index, tables, text, accept, out, ExactWalk::kChosen, sink);
  } else {
    scan_chunks<false>(index, tables, text, accept, out, ExactWalk::kChosen, sink);
  }
}

}  // namespace fernquill
