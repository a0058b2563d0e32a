#include "text/utf8.hpp"

#include <cstring>

namespace fernquill::utf8 {

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
// Texts up to this length are first tested whole for ASCII: most short
// texts (names, keywords) are, and the test costs a few loads.
constexpr std::size_t kShortText = 64;

template <class Word>
Word load(const unsigned char* p) {
  Word w;
  std::memcpy(&w, p, sizeof w);
  return w;
}

// Whether a text of at most kShortText bytes is all ASCII, by words, the
// last one overlapping the one before. Up to four words' length the words
// are spread evenly and overlap, so that no length needs a loop.
bool short_text_is_ascii(const unsigned char* p, std::size_t n) {
  constexpr std::size_t kWord = sizeof(std::uint64_t);
  if (n >= kWord && n <= 4 * kWord) {
    // Words at 0, s, m - s and m (m = n - kWord, s = m / 3 rounded up):
    // each starts at most a word after another, none reads past the end.
    const std::size_t last = n - kWord;
    const std::size_t spread = (last + 2) / 3;
    const std::uint64_t acc = load<std::uint64_t>(p) | load<std::uint64_t>(p + spread) |
                              load<std::uint64_t>(p + (last - spread)) |
                              load<std::uint64_t>(p + last);
    return (acc & kHighBits) == 0;
  }
  if (n >= sizeof(std::uint64_t)) {
    std::uint64_t acc = load<std::uint64_t>(p + n - sizeof(std::uint64_t));
    for (std::size_t i = 0; i + sizeof(std::uint64_t) <= n; i += sizeof(std::uint64_t)) {
      acc |= load<std::uint64_t>(p + i);
    }
    return (acc & kHighBits) == 0;
  }
  if (n >= sizeof(std::uint32_t)) {
    const std::uint32_t acc =
        load<std::uint32_t>(p) | load<std::uint32_t>(p + n - sizeof(std::uint32_t));
    return (acc & static_cast<std::uint32_t>(kHighBits)) == 0;
  }
  unsigned acc = 0;
  for (std::size_t i = 0; i < n; ++i) acc |= p[i];
  return acc < 0x80;
}

}  // namespace

std::optional<Error> find_error(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  if (n <= kShortText && short_text_is_ascii(p, n)) return std::nullopt;
  std::size_t i = 0;
  while (i < n) {
    // Runs of ASCII, eight bytes at a time.
    while (i + sizeof(std::uint64_t) <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, sizeof word);
      if ((word & kHighBits) != 0) break;
      i += sizeof word;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const Step s = step(p + i, n - i);
    switch (s.kind) {
      case StepKind::kValid:
        i += s.length;
        break;
      case StepKind::kInvalid:
        return Error{i, s.length};
      case StepKind::kTruncated:
        return Error{i, std::nullopt};
    }
  }
  return std::nullopt;
}

void append_repaired(std::string& out, std::string_view bytes) {
  constexpr std::uint32_t kReplacement = 0xFFFD;
  while (const std::optional<Error> error = find_error(bytes)) {
    out.append(bytes.substr(0, error->valid_up_to));
    append(out, kReplacement);
    // A sequence cut short by the end is replaced whole.
    const std::size_t rest = bytes.size() - error->valid_up_to;
    bytes.remove_prefix(error->valid_up_to + error->error_len.value_or(rest));
  }
  out.append(bytes);
}

}  // namespace fernquill::utf8
