// Every test binary replaces the global operator new (allocation_guard_test.cc)
// so that tests can tell whether an operation allocated a buffer of some size,
// and so that a regression that tries to build a multi-gigabyte buffer fails
// at once with std::bad_alloc instead of exhausting the machine.
#pragma once

#include <cstddef>

namespace gwtest {

// Requests above this many bytes throw std::bad_alloc.
constexpr size_t kAllocationCeiling = size_t{1} << 28;  // 256 MiB

// The largest request made since the last reset_largest_allocation().
size_t largest_allocation();
void reset_largest_allocation();

// Whether the replacement is active (it is not under AddressSanitizer, whose
// runtime owns operator new).
bool allocation_guard_active();

}  // namespace gwtest
