#include "allocation_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define GWTEST_NO_GUARD 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define GWTEST_NO_GUARD 1
#endif

namespace gwtest {
namespace {
std::atomic<size_t> largest{0};
}  // namespace

size_t largest_allocation() { return largest.load(); }
void reset_largest_allocation() { largest.store(0); }

#ifdef GWTEST_NO_GUARD
bool allocation_guard_active() { return false; }
#else
bool allocation_guard_active() { return true; }
#endif

}  // namespace gwtest

#ifndef GWTEST_NO_GUARD
// The other forms of new and delete forward to these in libstdc++ and libc++.
void* operator new(size_t size) {
  size_t seen = gwtest::largest.load();
  while (size > seen && !gwtest::largest.compare_exchange_weak(seen, size)) {
  }
  if (size > gwtest::kAllocationCeiling) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
#endif

namespace {

TEST(AllocationGuard, RecordsTheLargestRequestAndRefusesHugeOnes) {
  if (!gwtest::allocation_guard_active()) GTEST_SKIP() << "operator new belongs to the sanitizer runtime";
  gwtest::reset_largest_allocation();
  { std::vector<char> v(12345); }
  EXPECT_EQ(gwtest::largest_allocation(), 12345u);
  EXPECT_THROW(std::vector<char>(gwtest::kAllocationCeiling + 1), std::bad_alloc);
  EXPECT_EQ(gwtest::largest_allocation(), gwtest::kAllocationCeiling + 1);
}

}  // namespace
