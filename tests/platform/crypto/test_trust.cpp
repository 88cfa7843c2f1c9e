// Trust decisions over the test PKI: the issuer checks and the chain policy,
// case by case, and the order in which the chain's problems outrank each
// other (an expiry never hides anything worse).
#include "platform/crypto/trust.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/store.h"
#include "support/test_pki.h"

using namespace crypto;
using testing_support::PkiCert;
using testing_support::TestHome;
using testing_support::TestPki;
using testing_support::writeFile;

namespace {

using std::chrono::sys_days;
using namespace std::chrono_literals;

constexpr uint32_t ALL_CHECKS = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG | CERT_STORE_REVOCATION_FLAG;
constexpr uint32_t SIG = CERT_STORE_SIGNATURE_FLAG;
constexpr uint32_t TIME = CERT_STORE_TIME_VALIDITY_FLAG;
constexpr uint32_t REV = CERT_STORE_REVOCATION_FLAG;
constexpr uint32_t NO_CRL = CERT_STORE_NO_CRL_FLAG;

// Users of the test PKI are valid 2020-2049, expired() ones 2010-2011 and
// notYetValid() ones from 2045 on; its lists are dated mid-2020 to 2049.
constexpr sys_days at(int y, unsigned m, unsigned d) {
    return sys_days{std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d}};
}
constexpr sys_days NOW = at(2030, 1, 1);

platform::FixedClock& fixClock(TestHome& home, std::chrono::system_clock::time_point when) {
    auto clock = std::make_unique<platform::FixedClock>(when);
    auto& ref = *clock;
    home.context().setClock(std::move(clock));
    return ref;
}

uint32_t issuerChecks(const PkiCert& subject, const PkiCert& issuer) {
    uint32_t flags = ALL_CHECKS;
    EXPECT_TRUE(verifySubjectCertificate(*subject.cert, *issuer.cert, flags)) << std::hex << getLastError();
    return flags;
}

// Drops a list into a store by hand, as a user (or an attacker) could.
void dropList(const TestHome& home, std::string_view store, std::string_view file, const CrlPtr& crl) {
    writeFile(home.path() / "stores" / store / file, crl->der());
}

// A copy of `list` dated a day later and signed with `forger`'s key: the
// same issuer name and key identifier, the wrong signature.
CrlPtr forgedCopy(const CrlPtr& list, const PkiCert& forger) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(list->der().data());
    UniquePtr<X509_CRL> crl(d2i_X509_CRL(nullptr, &bytes, static_cast<long>(list->der().size())));
    const auto later = list->thisUpdateTime() + 24h;
    UniquePtr<ASN1_TIME> thisUpdate(ASN1_TIME_set(nullptr, static_cast<time_t>(later.time_since_epoch().count())));
    if (!crl || !thisUpdate || X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()) != 1 ||
        X509_CRL_sign(crl.get(), forger.key.get(), EVP_sha256()) <= 0) {
        throw std::runtime_error("cannot forge a list");
    }
    auto forged = Crl::fromDer(encodeDer(i2d_X509_CRL, crl.get()));
    if (!forged) throw std::runtime_error("forged list does not parse");
    return forged;
}

struct Subject {
    PkiCert cert;
    PkiCert issuer;
};

TEST(TrustTest, IssuerChecksAndChainPolicyPerCase) {
    struct Case {
        const char* name;
        std::function<Subject(TestPki&, TestHome&)> setUp;
        uint32_t flags;       // left by verifySubjectCertificate with all three checks
        uint32_t chainError;  // verifyCertificateChain's answer
    };
    const Case cases[] = {
        {"valid user, its CA's list names nobody",
         [](TestPki& pki, TestHome&) {
             pki.crlFor(pki.intermediate());
             return Subject{pki.user("Valid").install(), pki.intermediate()};
         },
         0, 0},
        // No list at all: "no CRL" reported, and the chain passes (revocation unknown).
        {"valid user, no list anywhere",
         [](TestPki& pki, TestHome&) { return Subject{pki.user("Valid").install(), pki.intermediate()}; },
         REV | NO_CRL, 0},
        // Outside its validity period; the chain tolerates nothing worse.
        {"expired user",
         [](TestPki& pki, TestHome&) {
             pki.crlFor(pki.intermediate());
             return Subject{pki.user("Expired").expired().install(), pki.intermediate()};
         },
         TIME, CERT_E_EXPIRED},
        // Before its validity period: the same code as after it.
        {"user not yet valid",
         [](TestPki& pki, TestHome&) {
             pki.crlFor(pki.intermediate());
             return Subject{pki.user("Early").notYetValid().install(), pki.intermediate()};
         },
         TIME, CERT_E_EXPIRED},
        // Expiry of any certificate of the chain counts, not only the end's.
        {"user under an expired CA",
         [](TestPki& pki, TestHome&) {
             const auto old = pki.ca("Old CA").expired().install();
             pki.crlFor(old);
             return Subject{pki.user("Under Old").issuedBy(old).install(), old};
         },
         0, CERT_E_EXPIRED},
        // On its CA's list.
        {"revoked user",
         [](TestPki& pki, TestHome&) {
             const auto user = pki.user("Revoked").install();
             pki.revoke(user);
             return Subject{user, pki.intermediate()};
         },
         REV, CRYPT_E_REVOKED},
        // Revoked outranks expired.
        {"revoked and expired: revoked wins",
         [](TestPki& pki, TestHome&) {
             const auto user = pki.user("Revoked Expired").expired().install();
             pki.revoke(user);
             return Subject{user, pki.intermediate()};
         },
         TIME | REV, CRYPT_E_REVOKED},
        // A CA's list lives in the CA's own store: the root's in "root".
        {"revoked intermediate, checked itself",
         [](TestPki& pki, TestHome&) {
             pki.revoke(pki.intermediate());
             return Subject{pki.intermediate(), pki.root()};
         },
         REV, CRYPT_E_REVOKED},
        // Revocation is looked at for the end certificate only.
        {"user under a revoked intermediate",
         [](TestPki& pki, TestHome&) {
             pki.revoke(pki.intermediate());
             pki.crlFor(pki.intermediate());
             return Subject{pki.user("Under Revoked CA").install(), pki.intermediate()};
         },
         0, 0},
        // Another CA's list names the same serial number: not ours.
        {"list of another issuer",
         [](TestPki& pki, TestHome&) {
             const auto other = pki.ca("Other CA").install();
             pki.revoke(pki.user("Namesake").serial("7001").issuedBy(other).withoutKey().install());
             return Subject{pki.user("Valid").serial("7001").install(), pki.intermediate()};
         },
         REV | NO_CRL, 0},
        // The CA's own list, one bit of its signature changed: nobody's word.
        {"list with a bad signature",
         [](TestPki& pki, TestHome&) {
             const auto user = pki.user("Valid").install();
             const auto list = pki.revoke(user);
             std::string der = list->der();
             der.back() = static_cast<char>(der.back() ^ 0x01);
             writeFile(list->file(), der);
             return Subject{user, pki.intermediate()};
         },
         REV | NO_CRL, 0},
        // A list in the CA's name signed by another key (a twin CA of the
        // same name) revokes nothing beside the real list...
        {"forged list names the user, real list does not",
         [](TestPki& pki, TestHome& home) {
             pki.crlFor(pki.intermediate());
             const auto twin = pki.ca("Quillmark Test CA").inNoStore().install();
             dropList(home, "ca", "0900-forged.crl",
                      pki.revoke(pki.user("Twin").serial("7001").issuedBy(twin).withoutKey().inNoStore().install()));
             return Subject{pki.user("Valid").serial("7001").install(), pki.intermediate()};
         },
         0, 0},
        // ...and a newer forged copy of an older list, with the CA's name
        // and key identifier, does not hide the real one that revokes.
        {"real list names the user, newer forged list does not",
         [](TestPki& pki, TestHome& home) {
             const auto user = pki.user("Revoked").install();
             const auto older = pki.crlFor(pki.intermediate());
             pki.revoke(user);
             dropList(home, "ca", "0900-forged.crl", forgedCopy(older, pki.orphanCa()));
             return Subject{user, pki.intermediate()};
         },
         REV, CRYPT_E_REVOKED},
        // A second CA of the same name in "ca": its list is not our CA's.
        {"list of a same-named CA in the store",
         [](TestPki& pki, TestHome& home) {
             const auto twin = pki.ca("Quillmark Test CA").install();
             dropList(home, "ca", "0900-twin.crl",
                      pki.revoke(pki.user("Twin").serial("7001").issuedBy(twin).withoutKey().inNoStore().install()));
             return Subject{pki.user("Valid").serial("7001").install(), pki.intermediate()};
         },
         REV | NO_CRL, 0},
        // The same twin signs a copy of our CA's list that revokes the user:
        // a certificate in the stores verifies it, yet it is not our CA's.
        {"our CA's list re-signed by a same-named CA",
         [](TestPki& pki, TestHome&) {
             const auto twin = pki.ca("Quillmark Test CA").install();
             const auto user = pki.user("Valid").install();
             const auto real = pki.revoke(user);
             writeFile(real->file(), forgedCopy(real, twin)->der());
             return Subject{user, pki.intermediate()};
         },
         REV | NO_CRL, 0},
        // The issuer's key does not verify the user's signature.
        {"broken signature",
         [](TestPki& pki, TestHome&) {
             pki.crlFor(pki.intermediate());
             return Subject{pki.user("Broken").brokenSignature().install(), pki.intermediate()};
         },
         SIG, TRUST_E_CERT_SIGNATURE},
        // Expiry never hides a bad signature.
        {"broken signature and expired",
         [](TestPki& pki, TestHome&) {
             pki.crlFor(pki.intermediate());
             return Subject{pki.user("Broken Expired").brokenSignature().expired().install(), pki.intermediate()};
         },
         SIG | TIME, TRUST_E_CERT_SIGNATURE},
        // A bad signature outranks a revocation.
        {"broken signature and revoked: signature wins",
         [](TestPki& pki, TestHome&) {
             const auto user = pki.user("Broken Revoked").brokenSignature().install();
             pki.revoke(user);
             return Subject{user, pki.intermediate()};
         },
         SIG | REV, TRUST_E_CERT_SIGNATURE},
        // The anchor's own signature is checked too.
        {"trusted root with a broken self-signature",
         [](TestPki& pki, TestHome&) {
             const auto broken = pki.ca("Broken Root").selfSigned().brokenSignature().inStore("root").install();
             return Subject{pki.user("Under Broken Root").issuedBy(broken).install(), broken};
         },
         REV | NO_CRL, TRUST_E_CERT_SIGNATURE},
        // The chain ends in a self-signed CA that "root" does not hold.
        {"chain to an untrusted root",
         [](TestPki& pki, TestHome&) {
             const auto& untrusted = pki.untrustedRoot();
             return Subject{pki.user("Untrusted").issuedBy(untrusted).install(), untrusted};
         },
         REV | NO_CRL, CERT_E_UNTRUSTEDROOT},
        // Untrusted outranks expired.
        {"untrusted root and expired",
         [](TestPki& pki, TestHome&) {
             const auto& untrusted = pki.untrustedRoot();
             return Subject{pki.user("Untrusted Expired").issuedBy(untrusted).expired().install(), untrusted};
         },
         TIME | REV | NO_CRL, CERT_E_UNTRUSTEDROOT},
        // A self-signed end certificate that "root" does not hold.
        {"self-signed user",
         [](TestPki& pki, TestHome&) {
             const auto self = pki.user("Self").selfSigned().install();
             return Subject{self, self};
         },
         REV | NO_CRL, CERT_E_UNTRUSTEDROOT},
        // The issuer is in no store; the issuer checks still work when handed it.
        {"issuer found nowhere",
         [](TestPki& pki, TestHome&) {
             const auto& orphan = pki.orphanCa();
             return Subject{pki.user("Orphan").issuedBy(orphan).install(), orphan};
         },
         REV | NO_CRL, CERT_E_CHAINING},
        // A broken chain outranks expired.
        {"issuer found nowhere and expired",
         [](TestPki& pki, TestHome&) {
             const auto& orphan = pki.orphanCa();
             return Subject{pki.user("Orphan Expired").issuedBy(orphan).expired().install(), orphan};
         },
         TIME | REV | NO_CRL, CERT_E_CHAINING},
        // An end-entity certificate in "ca" that signed another: not a CA.
        {"issuer that is not a CA",
         [](TestPki& pki, TestHome&) {
             const auto notCa = pki.user("Not A CA").inStore("ca").install();
             return Subject{pki.user("Under Not A CA").issuedBy(notCa).install(), notCa};
         },
         REV | NO_CRL, TRUST_E_BASIC_CONSTRAINTS},
        // Basic constraints outrank expired.
        {"issuer that is not a CA, and expired",
         [](TestPki& pki, TestHome&) {
             const auto notCa = pki.user("Not A CA").inStore("ca").install();
             return Subject{pki.user("Under Not A CA").issuedBy(notCa).expired().install(), notCa};
         },
         TIME | REV | NO_CRL, TRUST_E_BASIC_CONSTRAINTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TestHome home;
        fixClock(home, NOW);
        TestPki pki(home);
        const Subject s = c.setUp(pki, home);

        EXPECT_EQ(issuerChecks(s.cert, s.issuer), c.flags);
        const auto chain = verifyCertificateChain(*s.cert.cert);
        EXPECT_TRUE(chain.built);
        EXPECT_EQ(chain.error, c.chainError) << std::hex << chain.error;
    }
}

class TrustHomeTest : public testing_support::HomeTest {
protected:
    platform::FixedClock& clock = fixClock(home, NOW);
    TestPki pki{home};
};

TEST_F(TrustHomeTest, TimeComesFromThePlatformClockWithBothEndsIncluded) {
    const sys_days from = at(2040, 3, 1);
    const sys_days to = at(2041, 3, 1);
    const auto user = pki.user("Window").validity(from, to).install();
    pki.crlFor(pki.intermediate());

    struct Case {
        const char* name;
        std::chrono::system_clock::time_point now;
        bool timeValid;
        uint32_t chainError;
    };
    const Case cases[] = {
        {"a second before notBefore", from - 1s, false, CERT_E_EXPIRED},
        {"at notBefore", from, true, 0},
        {"inside", from + 24h * 100, true, 0},
        // The chain counts the last second as expired (OpenSSL's rule), so
        // only the issuer check is asked about it.
        {"at notAfter", to, true, ~0u},
        {"a second after notAfter", to + 1s, false, CERT_E_EXPIRED},
        // Fractions of a second do not count.
        {"within the notAfter second", to + 999ms, true, ~0u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        clock.set(c.now);
        uint32_t flags = CERT_STORE_TIME_VALIDITY_FLAG;
        ASSERT_TRUE(verifySubjectCertificate(*user.cert, *pki.intermediate().cert, flags));
        EXPECT_EQ(flags, c.timeValid ? 0u : CERT_STORE_TIME_VALIDITY_FLAG);
        if (c.chainError != ~0u) {
            EXPECT_EQ(verifyCertificateChain(*user.cert).error, c.chainError);
        }
    }
}

TEST_F(TrustHomeTest, MakesOnlyTheChecksAskedFor) {
    // Wrong in every way the issuer checks can see.
    const auto user = pki.user("Everything Wrong").brokenSignature().expired().install();
    pki.revoke(user);
    const Certificate& issuer = *pki.intermediate().cert;

    struct Case {
        uint32_t asked;
        uint32_t left;
    };
    for (const auto& c : {Case{0, 0}, Case{SIG, SIG}, Case{TIME, TIME}, Case{REV, REV}, Case{SIG | REV, SIG | REV}}) {
        SCOPED_TRACE(c.asked);
        uint32_t flags = c.asked;
        ASSERT_TRUE(verifySubjectCertificate(*user.cert, issuer, flags));
        EXPECT_EQ(flags, c.left);
    }

    // A certificate checked against the wrong issuer fails the signature
    // check, and that issuer's lists (the root's: none) say nothing.
    const auto good = pki.user("Good").install();
    uint32_t flags = ALL_CHECKS;
    ASSERT_TRUE(verifySubjectCertificate(*good.cert, *pki.root().cert, flags));
    EXPECT_EQ(flags, SIG | REV | NO_CRL);
}

TEST_F(TrustHomeTest, RefusesFlagsItDoesNotKnow) {
    const auto user = pki.user("User").install();
    struct Case {
        const char* name;
        uint32_t flags;
    };
    const Case cases[] = {
        // NO_CRL is an answer, never a question.
        {"no-CRL flag on input", REV | NO_CRL},
        {"no-issuer flag on input", CERT_STORE_NO_ISSUER_FLAG},
        // Not a check the platform knows.
        {"unknown low bit", 0x8},
        {"unknown high bit", SIG | 0x80000000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setLastError(ERROR_SUCCESS);
        uint32_t flags = c.flags;
        EXPECT_FALSE(verifySubjectCertificate(*user.cert, *pki.intermediate().cert, flags));
        EXPECT_EQ(getLastError(), E_INVALIDARG);
        EXPECT_EQ(flags, c.flags);
    }
}

TEST_F(TrustHomeTest, ChainFollowsTheStoresAsTheyAreNow) {
    const auto user = pki.user("User").install();
    ASSERT_EQ(verifyCertificateChain(*user.cert).error, 0u);

    // Trust goes with the store, not the certificate: moved from "root" to
    // "ca", the same root ends the chain untrusted.
    auto root = Store::openSystem("root");
    auto ca = Store::openSystem("ca");
    ASSERT_TRUE(root && ca);
    ASSERT_TRUE(root->remove(*pki.root().cert));
    ASSERT_NE(ca->add(pki.root().der()), nullptr);
    EXPECT_EQ(verifyCertificateChain(*user.cert).error, CERT_E_UNTRUSTEDROOT);

    // And without the intermediate the user's issuer is found nowhere.
    ASSERT_TRUE(ca->remove(*pki.intermediate().cert));
    EXPECT_EQ(verifyCertificateChain(*user.cert).error, CERT_E_CHAINING);
}

TEST_F(TrustHomeTest, CopiesInTheStoresDoNoHarm) {
    // Users drop PEM copies of what a store holds already, and a list may
    // sit in both stores; each is still one anchor and one list.
    const auto user = pki.user("Revoked").install();
    const auto list = pki.revoke(user);
    writeFile(home.path() / "stores" / "root" / "0900-copy.pem", pki.root().pem());
    dropList(home, "root", "0900-copy.crl", list);

    const auto chain = verifyCertificateChain(*user.cert);
    EXPECT_TRUE(chain.built);
    EXPECT_EQ(chain.error, CRYPT_E_REVOKED);
}

TEST_F(TrustHomeTest, ChainNotBuiltWhenAStoreCannotBeOpened) {
    const auto user = pki.user("User").install();
    const auto rootFolder = home.path() / "stores" / "root";
    std::filesystem::remove_all(rootFolder);
    writeFile(rootFolder, "a file where the store should be");

    setLastError(ERROR_SUCCESS);
    const auto chain = verifyCertificateChain(*user.cert);
    EXPECT_FALSE(chain.built);
    EXPECT_EQ(getLastError(), ERROR_PATH_NOT_FOUND);

    // The issuer checks read only the issuer's store, and a store they
    // cannot read means no list, not a failure.
    std::filesystem::remove_all(home.path() / "stores" / "ca");
    writeFile(home.path() / "stores" / "ca", "a file where the store should be");
    setLastError(ERROR_SUCCESS);
    uint32_t flags = ALL_CHECKS;
    EXPECT_TRUE(verifySubjectCertificate(*user.cert, *pki.intermediate().cert, flags));
    EXPECT_EQ(flags, REV | NO_CRL);
    EXPECT_EQ(getLastError(), ERROR_SUCCESS);
}

}  // namespace
