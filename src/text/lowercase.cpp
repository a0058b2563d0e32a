#include "text/lowercase.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "text/utf8.hpp"

namespace fernquill {
namespace {

#include "case_tables.inc"

constexpr char32_t kCapitalSigma = 0x3A3;

// Output is staged in a small local buffer and appended to the string in
// chunks: std::string cannot grow without zero-filling, and staging keeps
// the memory traffic that of a single copy.
constexpr std::size_t kStageSize = 4096;
// Room past kStageSize for one 64-byte block store, or a 16-byte one followed
// by one character's output.
constexpr std::size_t kStageSlack = 128;
// The ASCII steps: a 16-byte block, then 64-byte runs.
constexpr std::size_t kAsciiBlock = 16;
constexpr std::size_t kAsciiRun = 64;
static_assert(kAsciiRun <= kStageSlack && kAsciiBlock + 4 + kMaxCharOutput <= kStageSlack);

inline std::uint32_t entry_of(char32_t cp) {
  const std::size_t block = kStage1[cp >> kBlockShift];
  return kEntries[kStage2[(block << kBlockShift) | (cp & kBlockMask)]];
}

inline std::int32_t entry_delta(std::uint32_t e) {
  return static_cast<std::int32_t>(e) >> 8;  // arithmetic shift keeps the sign
}

struct Char {
  char32_t cp;
  unsigned len;  // bytes consumed
  bool valid;    // false: a stray byte, passed through unchanged
};

using utf8::is_continuation;

// The character starting at p, with `avail` >= 1 bytes readable. Never
// reads past p + avail; a byte that does not start a well-formed sequence
// comes back as an invalid one-byte character.
inline Char decode(const unsigned char* p, std::size_t avail) {
  const utf8::Step step = utf8::step(p, avail);
  if (step.kind != utf8::StepKind::kValid) return {0, 1, false};
  return {step.code_point, static_cast<unsigned>(step.length), true};
}

inline std::uint32_t flags_of(Char c) { return c.valid ? entry_of(c.cp) & 3 : 0; }

// Whether the capital sigma occupying [begin, end) of `s` lower-cases to the
// final form: after skipping case-ignorable characters, a cased character
// precedes it and no cased character follows. Each scan stops at the first
// character that is not case-ignorable.
bool is_final_sigma(const unsigned char* s, std::size_t n, std::size_t begin, std::size_t end) {
  std::size_t j = begin;
  std::uint32_t flags = 0;
  bool found = false;
  while (j > 0) {
    std::size_t k = j - 1;
    while (k > 0 && j - k < utf8::kMaxSequence && is_continuation(s[k])) --k;
    Char c = decode(s + k, j - k);
    if (c.len != j - k) {  // not a whole character: treat the last byte alone
      k = j - 1;
      c = Char{0, 1, false};
    }
    flags = flags_of(c);
    j = k;
    if (!(flags & kFlagIgnorable)) {
      found = true;
      break;
    }
  }
  if (!found || !(flags & kFlagCased)) return false;
  for (j = end; j < n;) {
    const Char c = decode(s + j, n - j);
    flags = flags_of(c);
    if (!(flags & kFlagIgnorable)) return !(flags & kFlagCased);
    j += c.len;
  }
  return true;
}

#if defined(__SSE2__)
inline __m128i lower_vector(__m128i v) {
  // Bytes >= 0x80 are negative as signed and fall outside 'A'..'Z'.
  const __m128i upper = _mm_and_si128(_mm_cmpgt_epi8(v, _mm_set1_epi8('A' - 1)),
                                      _mm_cmplt_epi8(v, _mm_set1_epi8('Z' + 1)));
  return _mm_add_epi8(v, _mm_and_si128(upper, _mm_set1_epi8(0x20)));
}
#else
constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
constexpr std::uint64_t kHigh = 0x80 * kOnes;

inline std::uint64_t lower_word(std::uint64_t x) {
  // With the high bits cleared, adding per byte cannot carry across bytes.
  const std::uint64_t low = x & ~kHigh;
  const std::uint64_t ge_a = low + (0x80 - 'A') * kOnes;
  const std::uint64_t gt_z = low + (0x80 - 'Z' - 1) * kOnes;
  const std::uint64_t is_upper = ge_a & ~gt_z & ~x & kHigh;
  return x | (is_upper >> 2);  // 0x80 >> 2 == 0x20
}
#endif

// Lower-cases the 16 bytes at src into dst (non-ASCII bytes are copied
// unchanged) and returns the index of the first non-ASCII byte, 16 if none.
inline unsigned lower16(const unsigned char* src, unsigned char* dst) {
#if defined(__SSE2__)
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), lower_vector(v));
  const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
  return mask ? static_cast<unsigned>(std::countr_zero(mask)) : 16;
#else
  unsigned first = 16;
  for (unsigned half = 2; half-- > 0;) {
    std::uint64_t x;
    std::memcpy(&x, src + 8 * half, 8);
    const std::uint64_t lowered = lower_word(x);
    std::memcpy(dst + 8 * half, &lowered, 8);
    if (const std::uint64_t high = x & kHigh) {
      const unsigned bit = std::endian::native == std::endian::little
                               ? static_cast<unsigned>(std::countr_zero(high))
                               : static_cast<unsigned>(std::countl_zero(high));
      first = 8 * half + bit / 8;
    }
  }
  return first;
#endif
}

// When the 64 bytes at src are all ASCII, writes them lower-cased to dst and
// returns true; otherwise writes nothing.
inline bool lower64_ascii(const unsigned char* src, unsigned char* dst) {
#if defined(__SSE2__)
  const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src));
  const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 16));
  const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 32));
  const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(src + 48));
  if (_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(a, b), _mm_or_si128(c, d))) != 0) return false;
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), lower_vector(a));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 16), lower_vector(b));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 32), lower_vector(c));
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst + 48), lower_vector(d));
  return true;
#else
  std::uint64_t x[8];
  std::memcpy(x, src, 64);
  std::uint64_t any = 0;
  for (std::uint64_t w : x) any |= w;
  if (any & kHigh) return false;
  for (std::uint64_t& w : x) w = lower_word(w);
  std::memcpy(dst, x, 64);
  return true;
#endif
}

struct Run {
  Run(std::string_view text, std::string& o)
      : in(reinterpret_cast<const unsigned char*>(text.data())), n(text.size()), out(o) {}

  const unsigned char* in;
  std::size_t n;
  std::string& out;
  bool changed = false;  // some character changed byte length
  std::size_t staged = 0;
  unsigned char stage[kStageSize + kStageSlack];  // left uninitialised on purpose

  void flush() {
    out.append(reinterpret_cast<const char*>(stage), staged);
    staged = 0;
  }
};

// Bytes of one character (or stray byte) of the input and of its lower case.
struct Lowered {
  unsigned in_len;
  unsigned out_len;
};

// Writes the lower case of the non-ASCII character (or stray byte) at
// in[i] to w, which has room for kMaxCharOutput bytes plus a 4-byte store.
inline Lowered lower_char(const unsigned char* in, std::size_t n, std::size_t i, unsigned char* w) {
  const unsigned lead = in[i];
  if (lead >= 0xC2 && lead <= 0xDF && n - i >= 2 && is_continuation(in[i + 1])) {
    // Two-byte characters (Latin, Greek, Cyrillic, ...) mostly stay two bytes.
    const unsigned char* t = kTwoByte[(((lead & 0x1F) << 6) | (in[i + 1] & 0x3F)) - 0x80];
    if (t[0] != 0) {
      w[0] = t[0];
      w[1] = t[1];
      return {2, 2};
    }
  }
  const Char c = decode(in + i, n - i);
  if (!c.valid) {
    w[0] = in[i];
    return {1, 1};
  }
  if (c.cp == kCapitalSigma) {
    w[0] = 0xCF;
    w[1] = is_final_sigma(in, n, i, i + c.len) ? 0x82 : 0x83;
    return {c.len, 2};
  }
  const std::uint32_t e = entry_of(c.cp);
  if (e & kFlagExpansion) {
    const unsigned char* x = kExpansions + (e >> 8);
    std::memcpy(w, x + 1, x[0]);
    return {c.len, x[0]};
  }
  if (const std::int32_t delta = entry_delta(e); delta != 0) {
    const std::size_t len =
        utf8::encode(static_cast<std::uint32_t>(static_cast<std::int32_t>(c.cp) + delta), w);
    return {c.len, static_cast<unsigned>(len)};
  }
  if (n - i >= 4) {
    std::memcpy(w, in + i, 4);  // fixed size: a plain load and store
  } else {
    std::memcpy(w, in + i, c.len);
  }
  return {c.len, c.len};
}

// Lower-cases the ASCII at run.in[i...] into w: one byte near the end of
// the text, else 16 at a time and then, while whole blocks stay ASCII, 64 at
// a time. Returns the bytes done, 0 when in[i] is not ASCII.
inline std::size_t lower_ascii(Run& run, std::size_t i, unsigned char*& w,
                               const unsigned char* stage_full) {
  const unsigned char* const in = run.in;
  const std::size_t n = run.n;
  if (n - i < kAsciiBlock) {
    if (in[i] >= 0x80) return 0;
    const unsigned b = in[i];
    *w++ = ascii_lower(static_cast<unsigned char>(b));
    return 1;
  }
  const unsigned ascii = lower16(in + i, w);
  w += ascii;
  if (ascii < kAsciiBlock) return ascii;
  // A whole ASCII block: likely a long ASCII stretch, take bigger steps.
  std::size_t done = kAsciiBlock;
  while (n - i - done >= kAsciiRun && w < stage_full && lower64_ascii(in + i + done, w)) {
    w += kAsciiRun;
    done += kAsciiRun;
  }
  return done;
}

// Lower-cases run.in from byte i to the end.
void lower_from(Run& run, std::size_t i) {
  const unsigned char* const in = run.in;
  const std::size_t n = run.n;
  unsigned char* const stage = run.stage;
  unsigned char* const stage_full = stage + kStageSize;
  unsigned char* w = stage + run.staged;  // local, so byte stores cannot alias it
  while (i < n) {
    if (w >= stage_full) {
      run.staged = static_cast<std::size_t>(w - stage);
      run.flush();
      w = stage;
    }
    i += lower_ascii(run, i, w, stage_full);
    if (i == n || in[i] < 0x80 || w >= stage_full) continue;
    // Non-ASCII characters, one at a time while they last.
    do {
      const Lowered c = lower_char(in, n, i, w);
      run.changed |= c.out_len != c.in_len;
      w += c.out_len;
      i += c.in_len;
    } while (i < n && in[i] >= 0x80 && w < stage_full);
  }
  run.staged = static_cast<std::size_t>(w - stage);
}

bool lower_impl(std::string_view text, std::string& out) {
  if (text.empty()) return true;
  Run run(text, out);
  // Room for the longest result, so the copy never moves while it grows: a
  // move would hold two copies at once. Lower-casing at most grows a
  // character by half (two bytes to three, as U+0130 and U+023A do), and
  // untouched reserved pages cost address space only.
  out.reserve(out.size() + text.size() + text.size() / 2);
  lower_from(run, 0);
  run.flush();
  return !run.changed;
}

// Byte lengths of the character (or stray byte) at in[i] and of its lower
// case, by the same rules as lower_char, without writing it.
Lowered lowered_lengths(const unsigned char* in, std::size_t n, std::size_t i) {
  if (in[i] < 0x80) return {1, 1};
  const unsigned lead = in[i];
  if (lead >= 0xC2 && lead <= 0xDF && n - i >= 2 && is_continuation(in[i + 1]) &&
      kTwoByte[(((lead & 0x1F) << 6) | (in[i + 1] & 0x3F)) - 0x80][0] != 0) {
    return {2, 2};
  }
  const Char c = decode(in + i, n - i);
  if (!c.valid) return {1, 1};
  if (c.cp == kCapitalSigma) return {c.len, 2};
  const std::uint32_t e = entry_of(c.cp);
  if (e & kFlagExpansion) return {c.len, kExpansions[e >> 8]};
  if (const std::int32_t delta = entry_delta(e); delta != 0) {
    const auto cp = static_cast<std::uint32_t>(static_cast<std::int32_t>(c.cp) + delta);
    return {c.len, static_cast<unsigned>(utf8::encoded_length(cp))};
  }
  return {c.len, c.len};
}

}  // namespace

bool lower_utf8(std::string_view in, std::string& out) { return lower_impl(in, out); }

void LoweredOffsets::seek(std::size_t s) {
  const auto* in = reinterpret_cast<const unsigned char*>(text_.data());
  const std::size_t n = text_.size();
  if (s < scan_) return;  // out of order: never done, but must not run away
  while (true) {
    // ASCII keeps length and position: skip it eight bytes at a time.
    while (s - scan_ >= 8 && n - input_ >= 8) {
      std::uint64_t w;
      std::memcpy(&w, in + input_, 8);
      if (w & 0x8080808080808080ull) break;
      input_ += 8;
      scan_ += 8;
    }
    if (input_ == n) {  // past the end: never asked, but must not read there
      input_len_ = 0;
      return;
    }
    const Lowered c = lowered_lengths(in, n, input_);
    input_len_ = c.in_len;
    if (scan_ + c.out_len > s) return;
    input_ += c.in_len;
    scan_ += c.out_len;
  }
}

}  // namespace fernquill
