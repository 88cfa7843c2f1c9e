// A test PKI built at run time in a test's home:
//
//   root          "Quillmark Test Root", self-signed, store "root", serial 01
//   intermediate  "Quillmark Test CA", issued by the root, store "ca", serial 02
//   users         issued by the intermediate, store "my", each with its
//                 private key in a key container of the home
//
// Every certificate after those two takes the next serial of 1001, 1002, ...
// (hex content bytes 10 01, 10 02, ...) in the order it is made, unless it
// is given one.
//
//   testing_support::TestPki pki(home);
//   auto user = pki.user("Test User").install();
//   auto other = pki.user("Zhang San")
//                    .subject({{"C", "CN"}, {"O", "Bank"}, {"OU", "Branch"}, {"CN", "Test User"}})
//                    .serial("01A20F3B44")
//                    .validity(from, to)
//                    .issuedBy(pki.root())
//                    .withoutKey()
//                    .inStore("addressbook")
//                    .install();
//   pki.revoke(user);  // the intermediate's CRL, written to store "ca"
//
// Certificates are v3, RSA 2048, signed with SHA-256, with fixed serial
// numbers and times (valid from 2020-01-01 to 2049-12-31 unless said
// otherwise), so everything but the keys is the same from run to run.
// Generating RSA keys is slow: keys come from a process-wide pool, the n-th
// key a TestPki hands out is the pool's n-th key, and keys are shared by
// every test of the process. No two certificates of one TestPki share a key
// unless asked to (sameKeyAs). Under CTest (QUILLMARK_BUILD_BIN set) the pool
// is also kept in the build tree (`test-keys/`), so that the test processes
// of one build share their keys and certificates come out byte for byte the
// same in every process.
//
// A key container is `<home>/keys/<container>/`, holding the key as an
// unencrypted PKCS#8 PEM file (mode 0600) named after its key spec:
// exchange.pem for AT_KEYEXCHANGE, signature.pem for AT_SIGNATURE. The
// certificate's key-provider property names the Enhanced provider, type 1,
// that container and that key spec. The default container is the label the
// certificate was made with ("Test User"), with " (2)", " (3)", ... added
// when this TestPki used that name already.
//
// Every failure to build throws std::runtime_error: a test PKI that cannot
// be built is a broken test, not a case to handle.
#pragma once

#include <openssl/evp.h>
#include <openssl/x509.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/crypto/certificate.h"
#include "platform/crypto/openssl_ptr.h"
#include "support/test_home.h"

namespace testing_support {

constexpr char TEST_PROVIDER[] = "Microsoft Enhanced Cryptographic Provider v1.0";

// Name attributes in order, as {key, UTF-8 value}. Keys are those of the
// X.500 string (CN SN SERIALNUMBER C L S STREET O OU T Description
// PostalCode G I E DC) or a dotted OID ("1.2.3.4" or "OID.1.2.3.4"). A key
// written with a leading '+' ("+CN") joins the previous attribute's RDN,
// making a multi-valued one. Values are UTF8String, except C (Printable),
// E and DC (IA5), as CAs write them.
using NameEntries = std::vector<std::pair<std::string, std::string>>;

// A name built from entries; throws for an unknown key.
crypto::UniquePtr<X509_NAME> makeName(const NameEntries& entries);

// The n-th key of the process-wide pool (RSA 2048, made on first use).
std::shared_ptr<EVP_PKEY> pooledKey(size_t index);

// One certificate of the test PKI and where its pieces live.
struct PkiCert {
    std::string label;                 // the name it was made with
    crypto::CertPtr cert;              // as the store answered it (or parsed, in no store)
    std::shared_ptr<EVP_PKEY> key;     // always there, installed or not
    std::string container;             // empty: no key container, no property
    uint32_t keySpec = 0;              // of the container; 0 without one
    std::string store;                 // empty: in no store
    std::filesystem::path certFile;    // empty in no store
    std::filesystem::path keyFile;     // empty without a container
    std::filesystem::path keyProvFile; // empty without a container

    X509* x509() const { return cert->x509(); }
    const std::string& der() const { return cert->der(); }
    std::string pem() const;
    std::string keyPem() const;  // unencrypted PKCS#8
};

// PEM, DER and PKCS#12 copies of a certificate and its key, for tests that
// hand them to the openssl command.
struct ExportedFiles {
    std::filesystem::path folder;
    std::filesystem::path certPem;
    std::filesystem::path certDer;
    std::filesystem::path keyPem;  // unencrypted PKCS#8
    std::filesystem::path keyDer;  // unencrypted PKCS#8
    std::filesystem::path pkcs12;  // certificate, key (friendly name = label), chain if asked
    std::string password;
};

class TestPki;

class PkiCertBuilder {
public:
    PkiCertBuilder& subject(NameEntries entries);
    // A hand-made name (string types of your choice, odd attributes).
    PkiCertBuilder& subjectName(const X509_NAME* name);
    // Content bytes of the serial INTEGER in hex, most significant first
    // ("00A2" keeps its 00; "FF7F" is negative). Must be a valid encoding.
    PkiCertBuilder& serial(std::string_view hex);
    PkiCertBuilder& validity(crypto::Seconds from, crypto::Seconds to);
    PkiCertBuilder& expired();      // 2010-01-01 to 2011-01-01
    PkiCertBuilder& notYetValid();  // 2045-01-01 to 2049-12-31
    PkiCertBuilder& issuedBy(const PkiCert& issuer);
    PkiCertBuilder& selfSigned();
    PkiCertBuilder& withoutKey();
    PkiCertBuilder& container(std::string name);
    PkiCertBuilder& keySpec(uint32_t keySpec);
    // Writes the key as encrypted PKCS#8 (AES-256-CBC) under this pass phrase.
    PkiCertBuilder& keyPassphrase(std::string passphrase);
    PkiCertBuilder& sameKeyAs(const PkiCert& other);
    PkiCertBuilder& inStore(std::string store);
    PkiCertBuilder& inNoStore();
    // Alters the last byte of the signature after signing.
    PkiCertBuilder& brokenSignature();

    PkiCert install();

private:
    friend class TestPki;
    PkiCertBuilder(TestPki& pki, std::string label, bool ca);

    TestPki& pki_;
    std::string label_;
    bool ca_;
    crypto::UniquePtr<X509_NAME> subject_;
    std::optional<std::string> serial_;
    crypto::Seconds from_;
    crypto::Seconds to_;
    std::optional<std::string> issuerDer_;  // der() of the issuer; empty string: self-signed
    bool withKey_;
    std::optional<std::string> container_;
    uint32_t keySpec_;
    std::string passphrase_;
    std::shared_ptr<EVP_PKEY> key_;
    std::string store_;
    bool brokenSignature_ = false;
};

class TestPki {
public:
    explicit TestPki(TestHome& home);
    ~TestPki();
    TestPki(const TestPki&) = delete;
    TestPki& operator=(const TestPki&) = delete;

    const PkiCert& root() const;
    const PkiCert& intermediate() const;

    // A user: {C=CN, O=Quillmark Test, CN=<commonName>}, issued by the
    // intermediate, in "my" with a key container, key usage for signing
    // and key encipherment, extended key usage e-mail protection and client
    // authentication.
    PkiCertBuilder user(std::string commonName);
    // A CA: {C=CN, O=Quillmark Test, CN=<commonName>}, issued by the root,
    // in "ca", without a key container (the handle still has its key).
    PkiCertBuilder ca(std::string commonName);

    // "Quillmark Orphan CA": issued by the root and in no store, so that
    // the issuer of its users is found nowhere.
    const PkiCert& orphanCa();
    // "Quillmark Untrusted Root": self-signed and in "ca", not in "root",
    // so a chain through it ends at a root nobody trusts.
    const PkiCert& untrustedRoot();

    // Revokes the certificate (revocation date 2020-06-01) and issues its
    // issuer's CRL again, written into the issuer's store. Answers the CRL.
    crypto::CrlPtr revoke(const PkiCert& cert);
    // Issues the issuer's CRL (listing what was revoked so far, perhaps
    // nothing) into its store. No CA has a CRL until this or revoke() asks
    // for one. Each CRL gets the next CRL number and a later thisUpdate
    // (2020-06-01 plus one minute per number), nextUpdate 2049-12-31.
    crypto::CrlPtr crlFor(const PkiCert& issuer);

    // The certificate's issuers up to its root, nearest first.
    std::vector<PkiCert> chainOf(const PkiCert& cert) const;

    // Writes cert.pem, cert.der, key.pem, key.der and cert.p12 (password
    // protected; with the issuers when withChain) into a new folder under
    // <home>/export/.
    ExportedFiles exportFiles(const PkiCert& cert, std::string_view password = "test",
                              bool withChain = false);

    const std::filesystem::path& home() const { return home_; }

private:
    friend class PkiCertBuilder;
    struct Record;

    PkiCert build(PkiCertBuilder& builder);
    size_t indexOf(std::string_view der) const;  // throws when the PKI did not make it
    std::shared_ptr<EVP_PKEY> nextKey();
    std::string nextSerial();
    std::string uniqueContainer(const std::string& label);

    std::filesystem::path home_;
    std::vector<std::unique_ptr<Record>> records_;  // stable addresses: root() and friends hand out references
    size_t nextKey_ = 0;
    unsigned nextSerial_ = 0x1001;
    unsigned exports_ = 0;
    std::optional<size_t> orphanCa_;
    std::optional<size_t> untrustedRoot_;
};

}  // namespace testing_support
