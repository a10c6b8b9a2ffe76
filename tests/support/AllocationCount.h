// Counting the allocations a thread makes, for the real-time tests. A program that uses it
// links AllocationCount.cpp (the `pelmor_allocation_count` target), which replaces the
// global allocation functions with counting ones over malloc/free.
#pragma once

namespace rtcheck {

// Counts the allocations the calling thread makes while it lives (from zero).
class AllocationCount {
public:
    AllocationCount();
    ~AllocationCount();
    AllocationCount(const AllocationCount&) = delete;
    AllocationCount& operator=(const AllocationCount&) = delete;

    long value() const;
};

}  // namespace rtcheck
