#include "platform/crypto/trust.h"

#include <openssl/err.h>
#include <openssl/x509_vfy.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <ctime>
#include <memory>
#include <vector>

#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/store.h"

namespace crypto {
namespace {

constexpr uint32_t CHECK_FLAGS = CERT_STORE_SIGNATURE_FLAG | CERT_STORE_TIME_VALIDITY_FLAG | CERT_STORE_REVOCATION_FLAG;

std::chrono::system_clock::time_point now() { return platform::context().clock().now(); }

bool issuerSigned(const Certificate& subject, const Certificate& issuer) {
    EVP_PKEY* key = X509_get0_pubkey(issuer.x509());
    return key != nullptr && X509_verify(subject.x509(), key) == 1;
}

bool timeValid(const Certificate& subject) {
    const Seconds at = std::chrono::floor<std::chrono::seconds>(now());
    return subject.notBeforeTime() <= at && at <= subject.notAfterTime();
}

// A list speaks for a CA only when it carries the CA's name and the CA's
// key verifies it. Anyone can drop a file into a store.
bool issuedBy(const Crl& crl, const Certificate& issuer) {
    if (crl.issuerDer() != issuer.subjectDer()) return false;
    EVP_PKEY* key = X509_get0_pubkey(issuer.x509());
    return key != nullptr && X509_CRL_verify(crl.x509Crl(), key) == 1;
}

enum class Revocation { NotRevoked, Revoked, NoList };

Revocation revocationOf(const Certificate& subject, const Certificate& issuer) {
    if (issuer.storeName().empty()) return Revocation::NoList;
    // Opening a store may fail and set the last error; the check itself has
    // not failed, so the caller's last error is kept.
    const uint32_t lastError = getLastError();
    const auto store = Store::openSystem(issuer.storeName());
    setLastError(lastError);
    if (!store) return Revocation::NoList;
    bool listed = false;
    bool found = false;
    for (const CrlPtr& crl : store->crls()) {
        if (!issuedBy(*crl, issuer)) continue;
        found = true;
        listed = listed || crl->lists(subject.serialNumber());
    }
    if (!found) return Revocation::NoList;
    return listed ? Revocation::Revoked : Revocation::NotRevoked;
}

// ---------------------------------------------------------------------------
// The chain

// Worst first: the answer is the first one found in this order.
enum class Problem : size_t {
    Signature,
    Revoked,
    UntrustedRoot,
    Chaining,
    BasicConstraints,
    Critical,
    Name,
    Policy,
    Other,
    Expired,
};
constexpr size_t PROBLEM_COUNT = static_cast<size_t>(Problem::Expired) + 1;

constexpr std::array<uint32_t, PROBLEM_COUNT> CODE_OF_PROBLEM{
    TRUST_E_CERT_SIGNATURE,
    CRYPT_E_REVOKED,
    CERT_E_UNTRUSTEDROOT,
    CERT_E_CHAINING,
    TRUST_E_BASIC_CONSTRAINTS,
    CERT_E_CRITICAL,
    CERT_E_INVALID_NAME,
    CERT_E_INVALID_POLICY,
    TRUST_E_FAIL,
    CERT_E_EXPIRED,
};

// What one of OpenSSL's verify errors means for the answer.
struct Verdict {
    enum Kind {
        Counts,           // a problem of the chain
        RevocationUnknown,  // ignored, as the policy flags ask
        ListNotTrusted,   // ignored, and the list may not revoke either
        Abort,            // OpenSSL cannot go on: no answer at all
    } kind;
    Problem problem = Problem::Other;
};

Verdict verdictOf(int error) {
    switch (error) {
    case X509_V_ERR_CERT_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CERT_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_DECODE_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_NO_ISSUER_PUBLIC_KEY:
    case X509_V_ERR_UNSUPPORTED_SIGNATURE_ALGORITHM:
    case X509_V_ERR_SIGNATURE_ALGORITHM_MISMATCH:
    case X509_V_ERR_SIGNATURE_ALGORITHM_INCONSISTENCY:
        // A signature that cannot be checked is no better than one that
        // does not verify.
        return {Verdict::Counts, Problem::Signature};

    case X509_V_ERR_CERT_REVOKED:
        return {Verdict::Counts, Problem::Revoked};

    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
    case X509_V_ERR_CERT_UNTRUSTED:
    case X509_V_ERR_CERT_REJECTED:
        return {Verdict::Counts, Problem::UntrustedRoot};

    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
    case X509_V_ERR_CERT_CHAIN_TOO_LONG:
    case X509_V_ERR_PATH_LOOP:
    case X509_V_ERR_SUBJECT_ISSUER_MISMATCH:
    case X509_V_ERR_AKID_SKID_MISMATCH:
    case X509_V_ERR_AKID_ISSUER_SERIAL_MISMATCH:
        return {Verdict::Counts, Problem::Chaining};

    case X509_V_ERR_INVALID_CA:
    case X509_V_ERR_PATH_LENGTH_EXCEEDED:
    case X509_V_ERR_KEYUSAGE_NO_CERTSIGN:
    case X509_V_ERR_INVALID_NON_CA:
    case X509_V_ERR_PROXY_PATH_LENGTH_EXCEEDED:
        return {Verdict::Counts, Problem::BasicConstraints};

    case X509_V_ERR_UNHANDLED_CRITICAL_EXTENSION:
        return {Verdict::Counts, Problem::Critical};

    case X509_V_ERR_PERMITTED_VIOLATION:
    case X509_V_ERR_EXCLUDED_VIOLATION:
    case X509_V_ERR_SUBTREE_MINMAX:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_TYPE:
    case X509_V_ERR_UNSUPPORTED_CONSTRAINT_SYNTAX:
    case X509_V_ERR_UNSUPPORTED_NAME_SYNTAX:
        return {Verdict::Counts, Problem::Name};

    case X509_V_ERR_INVALID_POLICY_EXTENSION:
    case X509_V_ERR_NO_EXPLICIT_POLICY:
        return {Verdict::Counts, Problem::Policy};

    case X509_V_ERR_CERT_NOT_YET_VALID:
    case X509_V_ERR_CERT_HAS_EXPIRED:
        return {Verdict::Counts, Problem::Expired};

    // A list that is there and verifies but is out of date still says what
    // its CA revoked; only the status of what it does not list is unknown.
    case X509_V_ERR_UNABLE_TO_GET_CRL:
    case X509_V_ERR_CRL_NOT_YET_VALID:
    case X509_V_ERR_CRL_HAS_EXPIRED:
    case X509_V_ERR_ERROR_IN_CRL_LAST_UPDATE_FIELD:
    case X509_V_ERR_ERROR_IN_CRL_NEXT_UPDATE_FIELD:
        return {Verdict::RevocationUnknown};

    // A list whose signer or scope does not check out is nobody's word.
    case X509_V_ERR_CRL_SIGNATURE_FAILURE:
    case X509_V_ERR_UNABLE_TO_DECRYPT_CRL_SIGNATURE:
    case X509_V_ERR_UNABLE_TO_GET_CRL_ISSUER:
    case X509_V_ERR_KEYUSAGE_NO_CRL_SIGN:
    case X509_V_ERR_UNHANDLED_CRITICAL_CRL_EXTENSION:
    case X509_V_ERR_DIFFERENT_CRL_SCOPE:
    case X509_V_ERR_CRL_PATH_VALIDATION_ERROR:
        return {Verdict::ListNotTrusted};

    case X509_V_ERR_OUT_OF_MEM:
    case X509_V_ERR_INVALID_CALL:
    case X509_V_ERR_STORE_LOOKUP:
        return {Verdict::Abort};

    // Malformed times (a parsed Certificate never has them), bad
    // extensions, purposes, proxy rules, RFC 3779 resources and whatever a
    // later OpenSSL adds: wrong, without a code of its own.
    default:
        return {Verdict::Counts, Problem::Other};
    }
}

struct Collector {
    std::array<bool, PROBLEM_COUNT> found{};
    std::vector<const X509_CRL*> untrustedLists;
    bool aborted = false;

    void note(int error, const X509_CRL* list) {
        const Verdict verdict = verdictOf(error);
        switch (verdict.kind) {
        case Verdict::Counts:
            // OpenSSL checks the list first and then looks the certificate
            // up in it, even after we said to go on; the list's failures
            // are therefore known by the time it would revoke.
            if (verdict.problem == Problem::Revoked &&
                std::find(untrustedLists.begin(), untrustedLists.end(), list) != untrustedLists.end()) {
                return;
            }
            found[static_cast<size_t>(verdict.problem)] = true;
            return;
        case Verdict::ListNotTrusted:
            if (list != nullptr) untrustedLists.push_back(list);
            return;
        case Verdict::RevocationUnknown:
            return;
        case Verdict::Abort:
            aborted = true;
            return;
        }
    }

    uint32_t worst() const {
        for (size_t i = 0; i < PROBLEM_COUNT; ++i) {
            if (found[i]) return CODE_OF_PROBLEM[i];
        }
        return 0;
    }
};

// Notes every problem and tells OpenSSL to go on, so that a problem found
// late (a bad signature) is not hidden by one found early (an expiry).
int collectAndGoOn(int ok, X509_STORE_CTX* context) {
    auto* collector = static_cast<Collector*>(X509_STORE_CTX_get_app_data(context));
    // A context OpenSSL makes on its own (to validate a list's issuer) has
    // no collector; its failure comes back to ours as a list error.
    if (collector == nullptr) return ok;
    if (ok == 1) return 1;
    collector->note(X509_STORE_CTX_get_error(context), X509_STORE_CTX_get0_current_crl(context));
    return collector->aborted ? 0 : 1;
}

ChainPolicyStatus notBuilt(uint32_t error) {
    setLastError(error);
    return ChainPolicyStatus{};
}

}  // namespace

bool verifySubjectCertificate(const Certificate& subject, const Certificate& issuer, uint32_t& flags) {
    CallScope scope;
    if ((flags & ~CHECK_FLAGS) != 0) {
        setLastError(E_INVALIDARG);
        return false;
    }
    if ((flags & CERT_STORE_SIGNATURE_FLAG) != 0 && issuerSigned(subject, issuer)) {
        flags &= ~CERT_STORE_SIGNATURE_FLAG;
    }
    if ((flags & CERT_STORE_TIME_VALIDITY_FLAG) != 0 && timeValid(subject)) {
        flags &= ~CERT_STORE_TIME_VALIDITY_FLAG;
    }
    if ((flags & CERT_STORE_REVOCATION_FLAG) != 0) {
        switch (revocationOf(subject, issuer)) {
        case Revocation::NotRevoked:
            flags &= ~CERT_STORE_REVOCATION_FLAG;
            break;
        case Revocation::Revoked:
            break;
        case Revocation::NoList:
            flags |= CERT_STORE_NO_CRL_FLAG;
            break;
        }
    }
    return true;
}

ChainPolicyStatus verifyCertificateChain(const Certificate& certificate) {
    CallScope scope;
    const auto ca = Store::openSystem("ca");
    if (!ca) return ChainPolicyStatus{};  // the store's last error stands
    const auto root = Store::openSystem("root");
    if (!root) return ChainPolicyStatus{};

    UniquePtr<X509_STORE> anchors(X509_STORE_new());
    UniquePtr<STACK_OF(X509)> intermediates(sk_X509_new_null());
    if (!anchors || !intermediates) return notBuilt(errorFromOpenSsl(NTE_NO_MEMORY));
    for (const CertPtr& cert : root->certificates()) {
        if (X509_STORE_add_cert(anchors.get(), cert->x509()) != 1) return notBuilt(errorFromOpenSsl(TRUST_E_FAIL));
    }
    for (const CertPtr& cert : ca->certificates()) {
        auto ref = cert->x509Ref();
        if (sk_X509_push(intermediates.get(), ref.get()) <= 0) return notBuilt(errorFromOpenSsl(NTE_NO_MEMORY));
        ref.release();  // the stack owns it now
    }

    // OpenSSL takes one list per CA, the best by its dates and scope, and
    // looks at its signature only afterwards; a forged list could win that
    // choice and hide the real one. So only lists that a certificate of
    // their issuer's name in these stores verifies go in.
    std::vector<const Certificate*> candidates;
    for (const auto* store : {ca.get(), root.get()}) {
        for (const CertPtr& cert : store->certificates()) candidates.push_back(cert.get());
    }
    for (const auto* store : {ca.get(), root.get()}) {
        for (const CrlPtr& crl : store->crls()) {
            const bool genuine = std::any_of(candidates.begin(), candidates.end(),
                                             [&](const Certificate* issuer) { return issuedBy(*crl, *issuer); });
            if (genuine && X509_STORE_add_crl(anchors.get(), crl->x509Crl()) != 1) {
                return notBuilt(errorFromOpenSsl(TRUST_E_FAIL));
            }
        }
    }
    ERR_clear_error();  // lists that did not verify leave their reasons behind

    UniquePtr<X509_STORE_CTX> context(X509_STORE_CTX_new_ex(libraryContext(), PROPERTY_QUERY));
    if (!context) return notBuilt(errorFromOpenSsl(NTE_NO_MEMORY));
    if (X509_STORE_CTX_init(context.get(), anchors.get(), certificate.x509(), intermediates.get()) != 1) {
        return notBuilt(errorFromOpenSsl(TRUST_E_FAIL));
    }
    X509_VERIFY_PARAM* param = X509_STORE_CTX_get0_param(context.get());
    // The end certificate's revocation only (not CRL_CHECK_ALL), and the
    // anchor's own signature too: the platform checks every signature of the
    // chain.
    X509_VERIFY_PARAM_set_flags(param, X509_V_FLAG_CRL_CHECK | X509_V_FLAG_CHECK_SS_SIGNATURE);
    X509_VERIFY_PARAM_set_time(param, std::chrono::system_clock::to_time_t(now()));

    Collector collector;
    X509_STORE_CTX_set_app_data(context.get(), &collector);
    X509_STORE_CTX_set_verify_cb(context.get(), collectAndGoOn);
    const int verified = X509_verify_cert(context.get());
    // Anything short of a finished run leaves problems unseen, and an answer
    // from what was seen so far could pass a chain it should not.
    if (collector.aborted || verified != 1) {
        const bool memory = X509_STORE_CTX_get_error(context.get()) == X509_V_ERR_OUT_OF_MEM;
        return notBuilt(errorFromOpenSsl(memory ? NTE_NO_MEMORY : TRUST_E_FAIL));
    }

    ChainPolicyStatus status;
    status.built = true;
    status.error = collector.worst();
    return status;
}

}  // namespace crypto
