#include "support/failing_allocator.h"

#include <execinfo.h>

#include <cstdlib>
#include <cstring>
#include <new>

namespace {

thread_local long long allocationsBeforeFailure = -1;
thread_local bool failedSinceArmed = false;

// The standard library's file system calls that report through an
// error_code end the program when an allocation fails inside them; stores
// and the registry hive are read and written with those. Such an allocation
// is let through.
bool insideFileSystemCall() {
    void* frames[12];
    const int count = backtrace(frames, 12);
    char** names = backtrace_symbols(frames, count);
    if (!names) return false;
    bool inside = false;
    for (int i = 0; i < count && !inside; ++i) inside = std::strstr(names[i], "St10filesystem") != nullptr;
    std::free(names);
    return inside;
}

}  // namespace

namespace testing_support {

void failAllocationAfter(long long count) {
    allocationsBeforeFailure = count;
    failedSinceArmed = false;
}

bool allocationFailed() { return failedSinceArmed; }

}  // namespace testing_support

void* operator new(std::size_t size) {
    if (allocationsBeforeFailure == 0 && !insideFileSystemCall()) {
        allocationsBeforeFailure = -1;
        failedSinceArmed = true;
        throw std::bad_alloc();
    }
    if (allocationsBeforeFailure > 0) --allocationsBeforeFailure;
    if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}

// The compiler cannot see that these pair with the operator new above.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
#pragma GCC diagnostic pop
