#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define QUR_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define QUR_SANITIZED 1
#endif
#endif

#if !defined(QUR_SANITIZED) && defined(__GLIBC__)
#define QUR_COUNTS_MALLOC 1
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
}
#endif

namespace {

// Plain thread-locals of the executable live in static TLS: reading them
// never allocates, even from inside malloc.
thread_local int tArmDepth = 0;
thread_local std::size_t tCount = 0;
thread_local std::size_t tArmStart[16];
std::atomic<std::size_t> gViolations{0};
std::atomic<bool> gAbortOnAllocation{false};

inline void noteAllocation() {
  if (tArmDepth > 0) {
    ++tCount;
    gViolations.fetch_add(1, std::memory_order_relaxed);
    if (gAbortOnAllocation.load(std::memory_order_relaxed)) {
      tArmDepth = 0;
      std::abort();  // run under a debugger for the allocating stack
    }
  }
}

// operator new counts once and goes straight to the allocator underneath,
// so a counted malloc does not count it twice.
void* allocateOrThrow(std::size_t size) {
  noteAllocation();
#ifdef QUR_COUNTS_MALLOC
  void* p = __libc_malloc(size ? size : 1);
#else
  void* p = std::malloc(size ? size : 1);
#endif
  if (!p) throw std::bad_alloc();
  return p;
}

void* allocateAlignedOrThrow(std::size_t size, std::align_val_t alignment) {
  noteAllocation();
  const auto align = std::max<std::size_t>(static_cast<std::size_t>(alignment), sizeof(void*));
#ifdef QUR_COUNTS_MALLOC
  void* p = __libc_memalign(align, size ? size : 1);
#else
  void* p = nullptr;
  if (posix_memalign(&p, align, size ? size : 1) != 0) p = nullptr;
#endif
  if (!p) throw std::bad_alloc();
  return p;
}

}  // namespace

// ---- operator new / delete: every variant --------------------------------

void* operator new(std::size_t size) {
  return allocateOrThrow(size);
}
void* operator new[](std::size_t size) {
  return allocateOrThrow(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocateOrThrow(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return allocateOrThrow(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t al) {
  return allocateAlignedOrThrow(size, al);
}
void* operator new[](std::size_t size, std::align_val_t al) {
  return allocateAlignedOrThrow(size, al);
}
void* operator new(std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  try {
    return allocateAlignedOrThrow(size, al);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t al, const std::nothrow_t&) noexcept {
  try {
    return allocateAlignedOrThrow(size, al);
  } catch (...) {
    return nullptr;
  }
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
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

// ---- malloc family, outside sanitizer builds ------------------------------
//
// Defined in the executable, these take precedence over the C library's for
// every caller in the process (shared libraries included) and forward to its
// allocator, so free() needs no wrapper.
#ifdef QUR_COUNTS_MALLOC
extern "C" {
void* malloc(std::size_t size) noexcept {
  noteAllocation();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  noteAllocation();
  return __libc_calloc(count, size);
}
void* realloc(void* p, std::size_t size) noexcept {
  noteAllocation();
  return __libc_realloc(p, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  noteAllocation();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  noteAllocation();
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}
#endif

namespace qur::testing {

AllocationGuard::AllocationGuard() : _start(tCount) {
  arm();
}

AllocationGuard::~AllocationGuard() {
  const std::size_t seen = disarm();
  if (seen > 0) {
    ADD_FAILURE() << seen << " heap allocation(s) on a thread that must not allocate";
  }
}

std::size_t AllocationGuard::allocations() const {
  return tCount - _start;
}

void AllocationGuard::arm() {
  static const bool abortOnAllocation = std::getenv("QUR_ALLOC_GUARD_ABORT") != nullptr;
  gAbortOnAllocation.store(abortOnAllocation, std::memory_order_relaxed);
  if (tArmDepth < 16) tArmStart[tArmDepth] = tCount;
  ++tArmDepth;
}

std::size_t AllocationGuard::disarm() {
  if (tArmDepth == 0) return 0;
  --tArmDepth;
  return tArmDepth < 16 ? tCount - tArmStart[tArmDepth] : 0;
}

bool AllocationGuard::isArmed() {
  return tArmDepth > 0;
}

std::size_t AllocationGuard::violations() {
  return gViolations.load();
}

void AllocationGuard::resetViolations() {
  gViolations.store(0);
}

bool AllocationGuard::countsMalloc() {
#ifdef QUR_COUNTS_MALLOC
  return true;
#else
  return false;
#endif
}

}  // namespace qur::testing
