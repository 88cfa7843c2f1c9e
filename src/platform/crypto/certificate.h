// Certificate and CRL contexts: a parsed certificate (or revocation list)
// together with its encoding and, for one loaded from a store, where it came
// from and its properties. Contexts are immutable and shared; a store hands
// out the same CertPtr for as long as it lives, and holding one keeps the
// certificate alive after the store is gone.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <openssl/x509.h>

#include "platform/crypto/openssl_ptr.h"

namespace crypto {

constexpr uint32_t PROV_RSA_FULL = 1;
constexpr uint32_t AT_KEYEXCHANGE = 1;
constexpr uint32_t AT_SIGNATURE = 2;

// The key-provider property: which provider holds the certificate's private
// key, in which container, under which key specification. A certificate
// without it has no private key.
struct KeyProvInfo {
    std::string providerName;   // UTF-8
    uint32_t providerType = PROV_RSA_FULL;
    std::string containerName;  // UTF-8
    uint32_t keySpec = AT_KEYEXCHANGE;  // AT_KEYEXCHANGE or AT_SIGNATURE

    bool operator==(const KeyProvInfo&) const = default;
};

// The property file `<stem>.keyprov` beside a certificate: UTF-8 text, one
// `name=value` per line, names in lower case:
//
//     provider=Microsoft Enhanced Cryptographic Provider v1.0
//     type=1
//     container=Test User
//     keyspec=1
//
// Reading ignores blank lines, lines that start with '#', a trailing CR and
// names it does not know (a later version may add some); everything after
// the first '=' is the value, blanks included. All four names must be
// present, with `type` a decimal number, `keyspec` 1 or 2 and a non-empty
// container. A file that breaks these rules counts as no property at all:
// the certificate stays usable for everything but its key, and the caller
// gets CRYPT_E_NO_KEY_PROPERTY, which is what the user needs to hear.
std::string formatKeyProvInfo(const KeyProvInfo& info);
std::optional<KeyProvInfo> parseKeyProvInfo(std::string_view text);
// True when formatKeyProvInfo's output reads back as `info`: no line break
// or NUL in the names, a non-empty container and a key spec of 1 or 2.
bool isWritableKeyProvInfo(const KeyProvInfo& info);

// A certificate time broken into UTC calendar fields.
struct UtcFields {
    int year = 0;
    int month = 0;  // 1-12
    int day = 0;    // 1-31
    int hour = 0;
    int minute = 0;
    int second = 0;

    bool operator==(const UtcFields&) const = default;
};

// Certificate times as time points count whole seconds: a notAfter of
// 9999-12-31 (which CAs write for "never") does not fit in
// system_clock::time_point. Compare with a clock's time after
// std::chrono::floor<std::chrono::seconds>(now), never the other way round.
using Seconds = std::chrono::sys_seconds;

class Certificate;
using CertPtr = std::shared_ptr<const Certificate>;

class Certificate {
public:
    // A certificate from its DER encoding. Bytes after the certificate are
    // ignored and der() holds the certificate's own bytes; what the
    // platform's decoder accepts we accept too. nullptr with last error
    // CRYPT_E_OSS_ERROR (NTE_NO_MEMORY when memory ran out) when the bytes
    // do not hold a certificate, including one whose times cannot be read.
    static CertPtr fromDer(std::string_view der);
    // The first CERTIFICATE block of PEM text; other blocks before it (a
    // key, say) are skipped. Same errors as fromDer.
    static CertPtr fromPem(std::string_view pem);

    // The parsed certificate. Not const only because OpenSSL's functions
    // take X509* where they only read; never change it. Made in
    // libraryContext(), so verifying with it uses our providers.
    X509* x509() const { return x509_.get(); }
    // A new reference, for OpenSSL calls that take ownership.
    UniquePtr<X509> x509Ref() const;

    const std::string& der() const { return der_; }
    const std::string& subjectDer() const { return subjectDer_; }
    const std::string& issuerDer() const { return issuerDer_; }

    // The serial number's INTEGER content bytes, most significant first,
    // exactly as the certificate holds them: a leading 00 that keeps a
    // positive number positive is part of it, and a negative serial keeps
    // its two's complement form.
    const std::string& serialNumber() const { return serialNumber_; }
    // The same bytes in the platform's integer order: least significant
    // first.
    std::string serialBlob() const;

    UtcFields notBefore() const { return notBefore_; }
    UtcFields notAfter() const { return notAfter_; }
    Seconds notBeforeTime() const;
    Seconds notAfterTime() const;

    // Where the certificate was loaded from: the store's lower-case name and
    // the file name without its extension. Both empty for a certificate
    // made from bytes.
    const std::string& storeName() const { return storeName_; }
    const std::string& fileStem() const { return fileStem_; }
    const std::filesystem::path& file() const { return file_; }

    // The key-provider property, as read when the store was opened.
    const std::optional<KeyProvInfo>& keyProvInfo() const { return keyProvInfo_; }

    // A copy of this context that remembers its file and properties; used by
    // stores when they load or write one.
    CertPtr withOrigin(std::string storeName, std::filesystem::path file,
                       std::optional<KeyProvInfo> keyProvInfo) const;

private:
    Certificate() = default;

    UniquePtr<X509> x509_;
    std::string der_;
    std::string subjectDer_;
    std::string issuerDer_;
    std::string serialNumber_;
    UtcFields notBefore_;
    UtcFields notAfter_;
    std::string storeName_;
    std::string fileStem_;
    std::filesystem::path file_;
    std::optional<KeyProvInfo> keyProvInfo_;
};

class Crl;
using CrlPtr = std::shared_ptr<const Crl>;

// A certificate revocation list.
class Crl {
public:
    // Same rules and errors as the certificate factories; PEM takes the
    // first X509 CRL block.
    static CrlPtr fromDer(std::string_view der);
    static CrlPtr fromPem(std::string_view pem);

    X509_CRL* x509Crl() const { return crl_.get(); }
    UniquePtr<X509_CRL> x509CrlRef() const;
    const std::string& der() const { return der_; }
    const std::string& issuerDer() const { return issuerDer_; }
    Seconds thisUpdateTime() const { return thisUpdate_; }
    // Absent when the list names no next update.
    std::optional<Seconds> nextUpdateTime() const { return nextUpdate_; }
    // True when the list names this serial number (content bytes, most
    // significant first, as Certificate::serialNumber()).
    bool lists(std::string_view serialNumber) const;

    const std::string& storeName() const { return storeName_; }
    const std::string& fileStem() const { return fileStem_; }
    const std::filesystem::path& file() const { return file_; }

    CrlPtr withOrigin(std::string storeName, std::filesystem::path file) const;

private:
    Crl() = default;

    UniquePtr<X509_CRL> crl_;
    std::string der_;
    std::string issuerDer_;
    Seconds thisUpdate_{};
    std::optional<Seconds> nextUpdate_;
    std::string storeName_;
    std::string fileStem_;
    std::filesystem::path file_;
};

// The platform's integer comparison for blobs in its integer order (least
// significant byte first, two's complement): equal when they stand for the
// same number. Extra 00 bytes at the most significant end of a positive
// number and extra FF bytes of a negative one do not count; an empty blob is
// zero.
bool compareIntegerBlob(std::string_view a, std::string_view b);

// The content bytes of an INTEGER, most significant first, as it is encoded
// (the form of Certificate::serialNumber()); empty when it cannot be
// encoded. For serial numbers met elsewhere, in messages and CRLs.
std::string integerContent(const ASN1_INTEGER* value);
// The INTEGER with these content bytes; nullptr when they are not a valid
// encoding (empty, or padded with a byte that changes nothing).
UniquePtr<ASN1_INTEGER> integerFromContent(std::string_view content);

}  // namespace crypto
