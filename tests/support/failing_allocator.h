#pragma once
// Allocation failure on demand, for tests of what the code does when memory
// runs out. Linking fyb_test_failing_allocator replaces the global operator
// new of the test binary; until a scope below arms it, every allocation goes
// through as usual.
//
// Only allocations of the thread that armed the scope count and fail, so a
// test decides exactly which step runs out, whatever other threads do.

#include <cstddef>

namespace fybootp::testing {

class FailingAllocations {
public:
    // The nth allocation of this thread from now fails (1: the next one); with
    // failEveryLater, so does every one after it until the scope ends.
    explicit FailingAllocations(std::size_t nth, bool failEveryLater = false);
    ~FailingAllocations();
    FailingAllocations(const FailingAllocations&) = delete;
    FailingAllocations& operator=(const FailingAllocations&) = delete;

    // Whether an allocation has failed in this scope so far.
    bool Triggered() const;
};

// Allocations made by this thread since the program started; the difference
// of two readings tells how many a step makes, so a test can fail each one.
std::size_t AllocationsOfThisThread();

}  // namespace fybootp::testing
