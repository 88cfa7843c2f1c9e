// Allocation failures at the control's own edges, one failure point at a
// time: creating an object, a call through IDispatch, and registration.
// Whatever fails, the caller gets an HRESULT, never an exception, and no
// module lock is left behind.

#include <gtest/gtest.h>

#include "control/kestrin_quillmark.h"
#include "control/module.h"
#include "control_fixture.h"
#include "support/failing_allocator.h"

extern "C" {
HRESULT DllCanUnloadNow();
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}

namespace {

using namespace testing_support;

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
