// Trust decisions: the issuer checks of one certificate, and its chain
// under the platform's base chain policy.
//
// Both read the current user's stores as they are at the time of the call
// and take "now" from platform::context().clock(), so a test (or a user
// checking an old signature) can move the clock.
#pragma once

#include <cstdint>

#include "platform/crypto/certificate.h"

namespace crypto {

constexpr uint32_t CERT_STORE_SIGNATURE_FLAG = 0x00000001;
constexpr uint32_t CERT_STORE_TIME_VALIDITY_FLAG = 0x00000002;
constexpr uint32_t CERT_STORE_REVOCATION_FLAG = 0x00000004;
constexpr uint32_t CERT_STORE_NO_CRL_FLAG = 0x00010000;
// Reported by the platform when it is given no issuer. Our issuer is a
// reference, so this is never set; it is here for callers that test it.
constexpr uint32_t CERT_STORE_NO_ISSUER_FLAG = 0x00020000;

// Chain answers beyond those in errors.h, with the platform's values. The
// control rejects any chain answer other than 0 and the two expiry codes, so
// these only tell the user (and a log) more precisely what was wrong.
constexpr uint32_t CERT_E_CRITICAL = 0x800B0105;        // an unknown critical extension
constexpr uint32_t TRUST_E_FAIL = 0x800B010B;           // any problem without a code of its own
constexpr uint32_t CERT_E_INVALID_POLICY = 0x800B0113;  // policy constraints not met
constexpr uint32_t CERT_E_INVALID_NAME = 0x800B0114;    // name constraints not met

// The issuer checks, as CertVerifySubjectCertificateContext makes them.
// `flags` names the checks to make, any of:
//
//   CERT_STORE_SIGNATURE_FLAG      the issuer's public key verifies the
//                                  subject's signature;
//   CERT_STORE_TIME_VALIDITY_FLAG  the clock's now, in whole seconds, lies
//                                  within notBefore..notAfter, both ends
//                                  included;
//   CERT_STORE_REVOCATION_FLAG     no revocation list of the issuer names the
//                                  subject's serial number.
//
// A check that passes clears its flag; one that fails leaves it set. For
// revocation the lists looked at are those of the store the issuer
// certificate came from ("ca" or "root", where a CA's lists live) whose
// issuer name is the issuer's subject and whose signature the issuer's key
// verifies; any other list, forged or of another CA, is ignored. A list
// counts whatever its own dates say: a revocation stays a revocation after
// the list's next update. When no such list is found (also for an issuer
// that comes from no store, or a store that cannot be opened)
// CERT_STORE_NO_CRL_FLAG is set as well and REVOCATION stays set: the
// caller reads that pair as "not known to be revoked".
//
// Answers true whenever the checks could be made, passed or not. False only
// with E_INVALIDARG, for a bit in `flags` other than the three checks
// (flags are then left as they were). The last error is otherwise left
// alone.
bool verifySubjectCertificate(const Certificate& subject, const Certificate& issuer, uint32_t& flags);

struct ChainPolicyStatus {
    bool built = false;   // false: the chain could not be built at all
    uint32_t error = 0;   // the base policy's answer: 0, CERT_E_EXPIRED, CERT_E_UNTRUSTEDROOT, ...
};

// CertGetCertificateChain for the current user (certificates of "ca" as
// intermediates, of "root" as the trust anchors, revocation of the end
// certificate only, time = the clock's now), then
// CertVerifyCertificateChainPolicy with the base policy and the flags that
// ignore an unknown revocation status and trust test roots.
//
// Every problem of the chain is collected before answering, and the answer
// is the worst of them, in this order:
//
//   TRUST_E_CERT_SIGNATURE     a signature in the chain does not verify, the
//                              trust anchor's own included;
//   CRYPT_E_REVOKED            a revocation list of the end certificate's
//                              issuer names it;
//   CERT_E_UNTRUSTEDROOT       the chain ends in a self-signed certificate
//                              that is not in "root";
//   CERT_E_CHAINING            an issuer is found in neither store (or the
//                              chain is too long or loops);
//   TRUST_E_BASIC_CONSTRAINTS  an issuer is not a CA, may not sign
//                              certificates, or its path length is exceeded;
//   CERT_E_CRITICAL            a critical extension nobody understands;
//   CERT_E_INVALID_NAME        a name outside a CA's name constraints;
//   CERT_E_INVALID_POLICY      certificate policies that are not met;
//   TRUST_E_FAIL               anything else that is wrong with the chain;
//   CERT_E_EXPIRED             some certificate of the chain is not valid at
//                              the time, too early or too late.
//
// Expiry comes last on purpose: the control accepts an expired chain, so an
// expiry must never stand in for any other problem.
//
// Revocation is known only from a list that its issuer's key verifies:
// before the chain is built, every list of "ca" and "root" whose signature
// no certificate of the issuer's name in those stores verifies is set
// aside, so a forged list can neither revoke a certificate nor hide the
// real one. Whatever else goes wrong with revocation (no list, a list out
// of date, a list that still does not fit the chain) is "revocation
// unknown" and ignored, as the policy flags ask; a list that fails a check
// of its signature or issuer does not count as saying "revoked" either.
//
// The platform's time nesting rule (CERT_E_VALIDITYPERIODNESTING) is not
// checked, so that code never comes back. A certificate counts as expired
// here from its notAfter second on (OpenSSL's rule), one second before the
// issuer check says so.
//
// built is false, with a last error, only when the chain could not be
// looked at: a store that cannot be opened (its error), memory (NTE_NO_MEMORY),
// or OpenSSL giving up (TRUST_E_FAIL). An issuer that cannot be found does
// not make built false: that chain is built as far as it goes and answers
// CERT_E_CHAINING.
ChainPolicyStatus verifyCertificateChain(const Certificate& certificate);

}  // namespace crypto
