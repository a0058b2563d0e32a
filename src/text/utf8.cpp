#include "text/utf8.hpp"

#include <cstring>

namespace fernquill::utf8 {

std::optional<Error> find_error(std::string_view bytes) {
  constexpr std::uint64_t kHighBits = 0x8080808080808080ull;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
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

}  // namespace fernquill::utf8
