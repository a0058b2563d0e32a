// An allocator whose value-less construct default-initializes: a vector of
// a trivial type then grows by resize without writing its new elements, for
// a builder that writes each one exactly once afterwards.
#pragma once

#include <memory>
#include <new>
#include <utility>

namespace fernquill {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  DefaultInitAllocator() noexcept = default;
  template <class U>
  DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

}  // namespace fernquill
