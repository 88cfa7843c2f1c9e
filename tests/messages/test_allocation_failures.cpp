// Allocation failures inside the engines, one failure point at a time.
//
// An engine answers with a code whatever happens inside it, and the
// certificate information it reads after its operation succeeded never turns
// that success into a failure.

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "certs/cert_finder.h"
#include "certs/cert_info.h"
#include "control/state/codes.h"
#include "control/state/control_state.h"
#include "messages/envelopes.h"
#include "messages/signing.h"
#include "messages/verification.h"
#include "support/failing_allocator.h"
#include "support/test_pki.h"

namespace {

using namespace testing_support;

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
