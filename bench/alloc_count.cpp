#include "alloc_count.h"

#include <cstdlib>
#include <new>

// In a file of their own: inlined next to a new-expression, GCC takes the
// free() below for a mismatch with the operator new it came from.

namespace vexo3 {

AllocCounts& AllocCount() {
  static AllocCounts counts;
  return counts;
}

}  // namespace vexo3

namespace {

void* CountedAlloc(std::size_t n) noexcept {
  vexo3::AllocCounts& c = vexo3::AllocCount();
  if (c.counting) {
    if (c.simDepth > 0)
      ++c.sim;
    else
      ++c.host;
  }
  return std::malloc(n == 0 ? 1 : n);
}

}  // namespace

void* operator new(std::size_t n) {
  if (void* p = CountedAlloc(n))
    return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) {
  if (void* p = CountedAlloc(n))
    return p;
  throw std::bad_alloc();
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  return CountedAlloc(n);
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  return CountedAlloc(n);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, const std::nothrow_t&) noexcept {
  std::free(p);
}
