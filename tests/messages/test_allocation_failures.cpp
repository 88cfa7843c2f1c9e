// Allocation failures inside the engines, one failure point at a time.
//
// An engine answers with a code whatever happens inside it, and the
// certificate information it reads after its operation succeeded never turns
// that success into a failure. The whole program's operator new is replaced
// here so that any single allocation can be made to fail.

#include <execinfo.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <optional>
#include <string>

#include "certs/cert_finder.h"
#include "certs/cert_info.h"
#include "control/state/codes.h"
#include "control/state/control_state.h"
#include "messages/envelopes.h"
#include "messages/signing.h"
#include "messages/verification.h"
#include "support/test_pki.h"

namespace {

// How many allocations succeed before one fails; none fails while negative.
thread_local long long allocationsBeforeFailure = -1;
thread_local bool allocationFailed = false;

// The standard library's file system calls that report through an
// error_code end the program when an allocation fails inside them; the
// stores are read with those. Such an allocation is let through.
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

// Runs `run` with its first allocation failing, then its second, and so on,
// until a run goes through without a failure; `check` sees every outcome and
// whether an allocation failed in it. Nothing may escape `run`.
template <class Run, class Check>
void failEachAllocation(Run run, Check check) {
    run();  // what is set up once and for all is not the subject here
    for (long long n = 0; n < 200000; ++n) {
        SCOPED_TRACE(testing::Message() << "allocation " << n << " fails");
        std::optional<decltype(run())> outcome;
        bool escaped = false;
        allocationFailed = false;
        allocationsBeforeFailure = n;
        try {
            outcome.emplace(run());
        } catch (...) {
            escaped = true;
        }
        allocationsBeforeFailure = -1;
        ASSERT_FALSE(escaped);
        check(*outcome, allocationFailed);
        if (!allocationFailed) return;
    }
    FAIL() << "no end to the allocations";
}

class AllocationFailureTest : public HomeTest {
protected:
    TestPki pki{home};
    PkiCert signer = pki.user("Signer").subject({{"O", "Bank"}, {"CN", "Signer"}}).install();
};

TEST_F(AllocationFailureTest, CertificateInformationIsAllOrNothing) {
    struct Outcome {
        int32_t code;
        qm::CertInfoRecord record;
    };
    failEachAllocation(
        [&] {
            Outcome outcome{0, {}};
            outcome.code = qm::FillCertInfo(*signer.cert, outcome.record);
            return outcome;
        },
        [](const Outcome& outcome, bool failed) {
            EXPECT_EQ(outcome.code, failed ? qm::ERR_NO_MEMORY : qm::OK);
            for (const auto& text : outcome.record.texts) EXPECT_EQ(text.has_value(), outcome.code == qm::OK);
        });
}

TEST_F(AllocationFailureTest, FindersAnswerNone) {
    const auto my = crypto::Store::openSystem("my");
    ASSERT_NE(my, nullptr);
    const qm::StoreSet stores{my.get()};
    failEachAllocation([&] { return qm::FindCertByPartialDns(stores, "CN=Signer", "|"); },
                       [&](const crypto::CertPtr& found, bool failed) {
                           if (!failed || found) {
                               ASSERT_NE(found, nullptr);
                               EXPECT_EQ(found->der(), signer.der());
                           }
                       });
    failEachAllocation([&] { return qm::FindCertBySerial(stores, "01 02", "CN=Nobody"); },
                       [](const crypto::CertPtr& found, bool) { EXPECT_EQ(found, nullptr); });
}

TEST_F(AllocationFailureTest, EnginesAnswerWithACode) {
    struct Outcome {
        int32_t code;
        std::string output;
        qm::CertInfoRecord record;
    };
    // A failure may end an engine anywhere, with any of its codes; only a
    // run without one must succeed and describe the certificate.
    const auto check = [](const Outcome& outcome, bool failed) {
        if (failed) {
            EXPECT_LE(outcome.code, qm::OK);
            if (outcome.code == qm::OK) {
                EXPECT_FALSE(outcome.output.empty());
            }
        } else {
            EXPECT_EQ(outcome.code, qm::OK);
            EXPECT_TRUE(outcome.record.filled());
        }
    };

    const std::string data = "转账";
    const std::optional<std::string> list = "CN=Signer";
    std::string attached;
    uint64_t length = 0;
    ASSERT_EQ(qm::SignMessage(data, false, list, "|", &attached, length, nullptr), qm::OK);

    {
        SCOPED_TRACE("SignMessage");
        failEachAllocation(
            [&] {
                Outcome outcome{0, {}, {}};
                uint64_t size = 0;
                outcome.code = qm::SignMessage(data, true, list, "|", &outcome.output, size, &outcome.record);
                return outcome;
            },
            check);
    }
    {
        SCOPED_TRACE("VerifyMessage");
        const std::string area(attached.size(), '\0');
        failEachAllocation(
            [&] {
                Outcome outcome{0, {}, {}};
                outcome.code = qm::VerifyMessage(attached, area, &outcome.output, &outcome.record);
                return outcome;
            },
            check);
    }

    crypto::Store::openSystem("addressbook")->add(signer.der());
    std::string sealed;
    ASSERT_EQ(qm::SignAndSealEnvelope(data, list, list, "|", &sealed, length, nullptr, nullptr), qm::OK);
    {
        SCOPED_TRACE("SignAndSealEnvelope");
        failEachAllocation(
            [&] {
                Outcome outcome{0, {}, {}};
                uint64_t size = 0;
                qm::CertInfoRecord recipient;
                outcome.code = qm::SignAndSealEnvelope(data, list, list, "|", &outcome.output, size, &outcome.record,
                                                       &recipient);
                return outcome;
            },
            check);
    }
    {
        SCOPED_TRACE("OpenAndVerifyEnvelope");
        failEachAllocation(
            [&] {
                Outcome outcome{0, {}, {}};
                uint64_t size = 0;
                qm::CertInfoRecord recipient;
                outcome.code = qm::OpenAndVerifyEnvelope(sealed, &outcome.output, size, &outcome.record, &recipient);
                return outcome;
            },
            check);
    }
}

}  // namespace
