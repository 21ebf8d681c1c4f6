// Proves that real-time code paths allocate nothing.
//
// Every test executable linking the test support library counts heap
// allocations made on threads where a guard is armed: all operator new
// variants always, and in builds without a sanitizer also malloc, calloc,
// realloc and the aligned allocators (a sanitizer owns malloc, so there only
// operator new is seen; countsMalloc() tells which).
//
// Usage on the test thread:
//
//   {
//     qur::testing::AllocationGuard guard;  // armed on this thread
//     circularBufferProduceBytes(&ring, bytes, n);
//   }  // leaving the scope fails the test if anything was allocated
//
// Do not use EXPECT_/ASSERT_ inside the armed scope: reporting allocates.
//
// Inside a callback on another thread (an audio callback, a worker):
//
//   AllocationGuard::arm();                      // first thing in the callback
//   ... real-time work ...
//   const auto n = AllocationGuard::disarm();    // allocations since arm()
//
// and on the test thread afterwards EXPECT_EQ(AllocationGuard::violations(), 0u)
// (the process-wide count of allocations on armed threads; reset with
// resetViolations() at the start of a test).
//
// QUR_ALLOC_GUARD_ABORT=1 in the environment aborts at the first counted
// allocation instead, so a debugger shows who allocated.
#pragma once

#include <cstddef>

namespace qur::testing {

class AllocationGuard {
 public:
  AllocationGuard();
  ~AllocationGuard();
  AllocationGuard(const AllocationGuard&) = delete;
  AllocationGuard& operator=(const AllocationGuard&) = delete;

  // Allocations counted on this thread since this guard was armed.
  std::size_t allocations() const;

  // Arming by hand, for threads a test does not control the scope of. Arms
  // nest; disarm() returns the count since the matching arm().
  static void arm();
  static std::size_t disarm();
  static bool isArmed();

  // Allocations seen on any armed thread since the last reset.
  static std::size_t violations();
  static void resetViolations();

  // Whether plain malloc-family calls are counted in this build.
  static bool countsMalloc();

 private:
  std::size_t _start;
};

}  // namespace qur::testing
