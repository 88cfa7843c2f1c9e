// Allocation failures at the control's own edges, one failure point at a
// time: creating an object, a call through IDispatch, and registration.
// Whatever fails, the caller gets an HRESULT, never an exception, and no
// module lock is left behind. The whole program's operator new is replaced
// here so that any single allocation can be made to fail.

#include <execinfo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>

#include "control/kestrin_quillmark.h"
#include "control/module.h"
#include "control_fixture.h"

extern "C" {
HRESULT DllCanUnloadNow();
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}

namespace {

// How many allocations succeed before one fails; none fails while negative.
thread_local long long allocationsBeforeFailure = -1;
thread_local bool allocationFailed = false;

// The standard library's file system calls that report through an
// error_code end the program when an allocation fails inside them; the
// registry hive is read and written with those. Such an allocation is let
// through.
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

void* operator new(std::size_t size) {
    if (allocationsBeforeFailure == 0 && !insideFileSystemCall()) {
        allocationsBeforeFailure = -1;
        allocationFailed = true;
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

namespace {

using namespace testing_support;

// Runs `run` with its first allocation failing, then its second, and so on
// (every `stride`th when the run allocates a lot), until a run goes through
// without a failure; `check` sees every answer and whether an allocation
// failed in it. Nothing may escape `run`.
template <class Run, class Check>
void failEachAllocation(Run run, Check check, long long stride = 1) {
    run();  // what is set up once and for all is not the subject here
    for (long long n = 0; n < 2000000; n += stride) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        std::optional<HRESULT> answer;
        bool escaped = false;
        allocationFailed = false;
        allocationsBeforeFailure = n;
        try {
            answer = run();
        } catch (...) {
            escaped = true;
        }
        allocationsBeforeFailure = -1;
        ASSERT_FALSE(escaped);
        check(*answer, allocationFailed);
        if (!allocationFailed) return;
    }
    FAIL() << "no end to the allocations";
}

using ControlAllocationTest = HomeTest;

TEST_F(ControlAllocationTest, CreatingAnObjectLeavesNoLockBehind) {
    // The object reads its size limit from the registry when it is made.
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(qm::moduleLockCount(), 0);
    failEachAllocation(
        [] {
            com::Ptr<IKestrinQuillmark> control;
            const HRESULT hr = qm::KestrinQuillmark::create(nullptr, qm::IID_IKestrinQuillmark, control.out());
            if (hr == S_OK && !control) return E_POINTER;
            return hr;
        },
        [](HRESULT hr, bool failed) {
            EXPECT_EQ(hr, failed ? E_OUTOFMEMORY : S_OK);
            EXPECT_EQ(qm::moduleLockCount(), 0);
            EXPECT_EQ(DllCanUnloadNow(), S_OK);
        });
}

TEST_F(ControlAllocationTest, ACallThroughDispatchAnswersWithAnHresult) {
    com::Ptr<IKestrinQuillmark> control = newControl();
    ASSERT_TRUE(control);
    // Built beforehand: only the control's own allocations are failed.
    com::Variant argument(com::Bstr(std::u16string_view(u"abc")));
    DISPPARAMS params;
    params.rgvarg = argument.get();
    params.cArgs = 1;
    failEachAllocation(
        [&] {
            com::Variant result;
            const HRESULT hr = control->Invoke(30, IID_NULL, 0, DISPATCH_METHOD, &params, result.get(), nullptr,
                                               nullptr);  // QMBase64Encode
            return hr;
        },
        [&](HRESULT hr, bool failed) {
            if (!failed) {
                EXPECT_EQ(hr, S_OK);
                EXPECT_EQ(errorNum(control.get()), 0);
                return;
            }
            // Either the member itself ran out (its own code) or the call
            // never reached it.
            EXPECT_TRUE(hr == S_FALSE || hr == E_OUTOFMEMORY) << hr;
            if (hr == S_FALSE) {
                EXPECT_EQ(errorNum(control.get()), -10000);
            }
        });
}

TEST_F(ControlAllocationTest, RegistrationAnswersWithAnHresult) {
    // Every write rewrites the hive, so one registration allocates a lot: a
    // spread of failure points stands for all of them.
    failEachAllocation(
        [] { return DllRegisterServer(); },
        [](HRESULT hr, bool failed) {
            if (!failed) {
                EXPECT_EQ(hr, S_OK);
            }
        },
        499);
    failEachAllocation(
        [] { return DllUnregisterServer(); },
        [](HRESULT hr, bool failed) {
            if (!failed) {
                EXPECT_EQ(hr, S_OK);
            }
        },
        499);
}

}  // namespace
