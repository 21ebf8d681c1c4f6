#include "support/alloc_guard.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace qur::testing {
namespace {

// Keeps the compiler from eliding an allocation whose result is unused.
void* volatile gSink;

TEST(AllocationGuard, CountsOnlyOnTheArmedThread) {
  AllocationGuard::resetViolations();
  AllocationGuard::arm();
  int* three = new int(3);
  gSink = three;
  std::vector<int> v(100);
  gSink = v.data();
  const std::size_t armed = AllocationGuard::disarm();
  delete three;
  EXPECT_EQ(armed, 2u);

  // Another thread's allocations while this one is armed are not counted.
  AllocationGuard::arm();
  std::thread other([] { gSink = new std::vector<int>(50); });
  const std::size_t mine = AllocationGuard::disarm();
  other.join();
  delete static_cast<std::vector<int>*>(gSink);
  // Starting a thread allocates on the starting thread: its state block.
  EXPECT_GE(mine, 1u);
  EXPECT_EQ(AllocationGuard::violations(), 2u + mine);
}

TEST(AllocationGuard, CountsMallocWhereTheBuildAllows) {
  const std::size_t expected = AllocationGuard::countsMalloc() ? 1u : 0u;
  AllocationGuard::arm();
  void* p = std::malloc(64);
  gSink = p;
  EXPECT_EQ(AllocationGuard::disarm(), expected);
  AllocationGuard::arm();
  void* q = std::calloc(4, 16);
  gSink = q;
  EXPECT_EQ(AllocationGuard::disarm(), expected);
  AllocationGuard::arm();
  p = std::realloc(p, 100000);
  gSink = p;
  EXPECT_EQ(AllocationGuard::disarm(), expected);
  std::free(p);
  std::free(q);
}

TEST(AllocationGuard, ArmedFromInsideAnotherThread) {
  AllocationGuard::resetViolations();
  std::size_t seen = 0;
  std::thread worker([&] {
    AllocationGuard::arm();
    AllocationGuard::arm();  // nested
    char* a = new char[10];
    gSink = a;  // observable, so the allocation is not elided
    const std::size_t inner = AllocationGuard::disarm();
    char* b = new char[10];
    gSink = b;
    seen = AllocationGuard::disarm() * 10 + inner;
    delete[] a;
    delete[] b;
  });
  worker.join();
  EXPECT_EQ(seen, 21u);
  EXPECT_EQ(AllocationGuard::violations(), 2u);
  EXPECT_FALSE(AllocationGuard::isArmed());
}

TEST(AllocationGuard, ScopedGuardReportsNothingForCleanCode) {
  int local = 0;
  {
    AllocationGuard guard;
    for (int i = 0; i < 1000; ++i) local += i;
    EXPECT_EQ(guard.allocations(), 0u);
  }
  EXPECT_EQ(local, 499500);
}

}  // namespace
}  // namespace qur::testing
