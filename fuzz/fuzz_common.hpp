// Shared pieces of the fuzz targets: a hard stop on a broken invariant (the
// fuzzer then saves the input) and the compact form of a processor state.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "exact/word_set.hpp"

namespace fuzz {

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fuzz invariant broken: %s\n", what);
  std::abort();
}

#define FUZZ_CHECK(cond)              \
  do {                                \
    if (!(cond)) ::fuzz::fail(#cond); \
  } while (0)

// Every real state starts with the 139,272 bytes of the word-character set,
// which have no structure beyond their count. Inputs that mutate them byte
// by byte would spend nearly all their time there, so a target can take a
// fixed valid header (the default set) followed by the fuzzed bytes.
class StateWithHeader {
 public:
  StateWithHeader() {
    fernquill::WordSet words;
    words.set_defaults();
    put_u64(fernquill::WordSet::kWords);
    for (std::uint64_t w : words.words()) put_u64(w);
    header_size_ = bytes_.size();
  }
  std::string_view with(std::string_view tail) {
    bytes_.resize(header_size_);
    bytes_.append(tail);
    return bytes_;
  }

 private:
  void put_u64(std::uint64_t v) {
    for (int i = 0; i < 8; ++i) bytes_.push_back(static_cast<char>(v >> (8 * i)));
  }
  std::string bytes_;
  std::size_t header_size_ = 0;
};

}  // namespace fuzz
