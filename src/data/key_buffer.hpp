// Buffers of sort keys that are written before they are read: growing one leaves its new elements
// uninitialised, since zeroing megabytes that are overwritten at once costs a pass of its own.
#pragma once

#include <cstdint>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace quorvanta {

template <class T>
struct DefaultInitAllocator : std::allocator<T> {
  template <class U>
  struct rebind {
    using other = DefaultInitAllocator<U>;
  };
  DefaultInitAllocator() = default;
  template <class U>
  explicit DefaultInitAllocator(const DefaultInitAllocator<U>&) noexcept {}

  // Value-initialisation (what resize asks for) becomes default-initialisation.
  template <class U>
  void construct(U* place) noexcept {
    ::new (static_cast<void*>(place)) U;
  }
  template <class U, class... Args>
  void construct(U* place, Args&&... args) {
    ::new (static_cast<void*>(place)) U(std::forward<Args>(args)...);
  }
};

using KeyBuffer = std::vector<std::uint32_t, DefaultInitAllocator<std::uint32_t>>;

}  // namespace quorvanta
