// Limits shared by the layers that read untrusted input.
#pragma once

#include <cstddef>

namespace fernquill {

// The most entries reserved ahead on the strength of a length that the
// input declares (a count in a pickled state, a sequence's length hint);
// beyond it, storage grows with the entries actually read, so a forged
// length costs nothing.
inline constexpr std::size_t kMaxDeclaredReserve = std::size_t{1} << 16;

}  // namespace fernquill
