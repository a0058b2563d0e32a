// Sizes of what the indexes hold, for the memory figures they report.
#pragma once

#include <cstddef>
#include <vector>

namespace fernquill {

// The bytes a vector has taken from the allocator (its capacity, not its size).
template <class T>
std::size_t vector_bytes(const std::vector<T>& v) {
  return v.capacity() * sizeof(T);
}

}  // namespace fernquill
