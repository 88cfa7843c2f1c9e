// Allocation failures, one failure point at a time.
//
// A test program that links qm_failing_allocator has its operator new
// replaced: any single allocation can be made to fail with std::bad_alloc.
// failEachAllocation runs an operation with its first allocation failing,
// then its second, and so on, and lets a check look at every outcome.
#pragma once

#include <gtest/gtest.h>

#include <optional>

namespace testing_support {

// Makes the allocation after `count` successful ones fail (none fails while
// negative), on the calling thread.
void failAllocationAfter(long long count);

// Whether an allocation failed since the last failAllocationAfter.
bool allocationFailed();

// Runs `run` with its first allocation failing, then its (1 + stride)th, and
// so on, until a run goes through without a failure; `check` sees every
// outcome and whether an allocation failed in it. Nothing may escape `run`.
// A stride above 1 stands a spread of failure points for all of them when an
// operation allocates a lot.
template <class Run, class Check>
void failEachAllocation(Run run, Check check, long long stride = 1) {
    run();  // what is set up once and for all is not the subject here
    for (long long n = 0; n < 2000000; n += stride) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        std::optional<decltype(run())> outcome;
        bool escaped = false;
        failAllocationAfter(n);
        try {
            outcome.emplace(run());
        } catch (...) {
            escaped = true;
        }
        const bool failed = allocationFailed();
        failAllocationAfter(-1);
        ASSERT_FALSE(escaped);
        check(*outcome, failed);
        if (!failed) return;
    }
    FAIL() << "no end to the allocations";
}

}  // namespace testing_support
