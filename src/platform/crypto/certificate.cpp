#include "platform/crypto/certificate.h"

#include <openssl/asn1.h>
#include <openssl/pem.h>

#include <charconv>
#include <climits>
#include <ctime>

#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"

namespace crypto {
namespace {

std::string_view bytesOf(const unsigned char* data, long length) {
    return {reinterpret_cast<const char*>(data), static_cast<size_t>(length)};
}

std::optional<UtcFields> fieldsOf(const ASN1_TIME* time) {
    struct tm parts {};
    if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1) return std::nullopt;
    return UtcFields{parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                     parts.tm_hour,        parts.tm_min,     parts.tm_sec};
}

Seconds secondsOf(const UtcFields& f) {
    using namespace std::chrono;
    const sys_days date{year{f.year} / month{static_cast<unsigned>(f.month)} / day{static_cast<unsigned>(f.day)}};
    return date + hours{f.hour} + minutes{f.minute} + seconds{f.second};
}

// The DER bytes of the first PEM block of `kind` in the text.
std::optional<std::string> pemBlock(std::string_view pem, const char* kind) {
    if (pem.size() > static_cast<size_t>(INT_MAX)) return std::nullopt;
    UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    if (!bio) return std::nullopt;
    unsigned char* data = nullptr;
    long length = 0;
    char* name = nullptr;
    const int ok = PEM_bytes_read_bio(&data, &length, &name, kind, bio.get(), nullptr, nullptr);
    UniquePtr<uint8_t> ownedData(data);
    UniquePtr<char> ownedName(name);
    if (ok != 1 || data == nullptr) return std::nullopt;
    return std::string(bytesOf(data, length));
}

// d2i into an object made in our library context. On failure d2i frees the
// object it was given and leaves nullptr behind, so ownership passes
// through a raw pointer here and nowhere else.
template <typename T, typename D2i>
UniquePtr<T> decodeInto(UniquePtr<T> object, std::string_view der, D2i d2i, long& consumed) {
    if (!object || der.size() > static_cast<size_t>(LONG_MAX)) return nullptr;
    const auto* start = reinterpret_cast<const unsigned char*>(der.data());
    const unsigned char* p = start;
    T* raw = object.release();
    T* result = d2i(&raw, &p, static_cast<long>(der.size()));
    UniquePtr<T> owned(raw);
    if (result == nullptr) return nullptr;
    consumed = static_cast<long>(p - start);
    return owned;
}

}  // namespace

// ---------------------------------------------------------------------------
// Key-provider property

std::string formatKeyProvInfo(const KeyProvInfo& info) {
    return "provider=" + info.providerName + "\ntype=" + std::to_string(info.providerType) +
           "\ncontainer=" + info.containerName + "\nkeyspec=" + std::to_string(info.keySpec) + "\n";
}

bool isWritableKeyProvInfo(const KeyProvInfo& info) {
    auto plain = [](const std::string& text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos; };
    return plain(info.providerName) && plain(info.containerName) && !info.containerName.empty() &&
           (info.keySpec == AT_KEYEXCHANGE || info.keySpec == AT_SIGNATURE);
}

std::optional<KeyProvInfo> parseKeyProvInfo(std::string_view text) {
    std::optional<std::string> provider, container;
    std::optional<uint32_t> type, keySpec;
    auto number = [](std::string_view value) -> std::optional<uint32_t> {
        uint32_t n = 0;
        const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), n);
        if (value.empty() || error != std::errc() || end != value.data() + value.size()) return std::nullopt;
        return n;
    };
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line.front() == '#') continue;
        const size_t equals = line.find('=');
        if (equals == std::string_view::npos) return std::nullopt;
        const std::string_view name = line.substr(0, equals);
        const std::string_view value = line.substr(equals + 1);
        if (name == "provider") {
            provider = std::string(value);
        } else if (name == "container") {
            container = std::string(value);
        } else if (name == "type") {
            if (!(type = number(value))) return std::nullopt;
        } else if (name == "keyspec") {
            if (!(keySpec = number(value))) return std::nullopt;
        }
    }
    if (!provider || !container || !type || !keySpec) return std::nullopt;
    KeyProvInfo info{*provider, *type, *container, *keySpec};
    if (!isWritableKeyProvInfo(info)) return std::nullopt;
    return info;
}

// ---------------------------------------------------------------------------
// Integers

std::string integerContent(const ASN1_INTEGER* value) {
    // Re-encoded rather than read from the ASN1_INTEGER's data, which holds
    // the magnitude only: the sign byte and the two's complement form of a
    // negative number exist only in the encoding.
    const std::string tlv = encodeDer(i2d_ASN1_INTEGER, value);
    if (tlv.empty()) return {};
    const auto* p = reinterpret_cast<const unsigned char*>(tlv.data());
    long length = 0;
    int tag = 0;
    int objectClass = 0;
    const int flags = ASN1_get_object(&p, &length, &tag, &objectClass, static_cast<long>(tlv.size()));
    if ((flags & 0x80) != 0 || tag != V_ASN1_INTEGER) return {};
    return std::string(bytesOf(p, length));
}

UniquePtr<ASN1_INTEGER> integerFromContent(std::string_view content) {
    if (content.empty() || content.size() > 0xFFFFFF) return nullptr;
    std::string tlv(1, static_cast<char>(V_ASN1_INTEGER));
    if (content.size() < 0x80) {
        tlv += static_cast<char>(content.size());
    } else {
        std::string length;
        for (size_t n = content.size(); n != 0; n >>= 8) length.insert(length.begin(), static_cast<char>(n & 0xFF));
        tlv += static_cast<char>(0x80 | length.size());
        tlv += length;
    }
    tlv += content;
    const auto* p = reinterpret_cast<const unsigned char*>(tlv.data());
    UniquePtr<ASN1_INTEGER> value(d2i_ASN1_INTEGER(nullptr, &p, static_cast<long>(tlv.size())));
    if (value && p != reinterpret_cast<const unsigned char*>(tlv.data() + tlv.size())) return nullptr;
    return value;
}

namespace {

// The significant bytes of a little-endian two's complement blob.
std::string_view significant(std::string_view blob) {
    static constexpr char zero[1] = {0};
    if (blob.empty()) return {zero, 1};
    size_t n = blob.size();
    while (n > 1) {
        const auto top = static_cast<uint8_t>(blob[n - 1]);
        const auto next = static_cast<uint8_t>(blob[n - 2]);
        if ((top == 0x00 && next < 0x80) || (top == 0xFF && next >= 0x80)) {
            --n;
        } else {
            break;
        }
    }
    return blob.substr(0, n);
}

}  // namespace

bool compareIntegerBlob(std::string_view a, std::string_view b) { return significant(a) == significant(b); }

// ---------------------------------------------------------------------------
// Certificate

CertPtr Certificate::fromDer(std::string_view der) {
    CallScope scope;
    long consumed = 0;
    auto x509 = decodeInto(UniquePtr<X509>(X509_new_ex(libraryContext(), PROPERTY_QUERY)), der, d2i_X509, consumed);
    if (!x509) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    const auto notBefore = fieldsOf(X509_get0_notBefore(x509.get()));
    const auto notAfter = fieldsOf(X509_get0_notAfter(x509.get()));
    std::string serial = integerContent(X509_get0_serialNumber(x509.get()));
    std::string subject = encodeDer(i2d_X509_NAME, X509_get_subject_name(x509.get()));
    std::string issuer = encodeDer(i2d_X509_NAME, X509_get_issuer_name(x509.get()));
    if (!notBefore || !notAfter || serial.empty() || subject.empty() || issuer.empty()) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    std::shared_ptr<Certificate> cert(new Certificate());
    cert->x509_ = std::move(x509);
    cert->der_ = std::string(der.substr(0, static_cast<size_t>(consumed)));
    cert->subjectDer_ = std::move(subject);
    cert->issuerDer_ = std::move(issuer);
    cert->serialNumber_ = std::move(serial);
    cert->notBefore_ = *notBefore;
    cert->notAfter_ = *notAfter;
    return cert;
}

CertPtr Certificate::fromPem(std::string_view pem) {
    CallScope scope;
    const auto der = pemBlock(pem, PEM_STRING_X509);
    if (!der) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    return fromDer(*der);
}

UniquePtr<X509> Certificate::x509Ref() const {
    X509_up_ref(x509_.get());
    return UniquePtr<X509>(x509_.get());
}

std::string Certificate::serialBlob() const { return std::string(serialNumber_.rbegin(), serialNumber_.rend()); }

Seconds Certificate::notBeforeTime() const { return secondsOf(notBefore_); }

Seconds Certificate::notAfterTime() const { return secondsOf(notAfter_); }

CertPtr Certificate::withOrigin(std::string storeName, std::filesystem::path file,
                                std::optional<KeyProvInfo> keyProvInfo) const {
    std::shared_ptr<Certificate> copy(new Certificate());
    copy->x509_ = x509Ref();
    copy->der_ = der_;
    copy->subjectDer_ = subjectDer_;
    copy->issuerDer_ = issuerDer_;
    copy->serialNumber_ = serialNumber_;
    copy->notBefore_ = notBefore_;
    copy->notAfter_ = notAfter_;
    copy->storeName_ = std::move(storeName);
    copy->fileStem_ = file.stem().string();
    copy->file_ = std::move(file);
    copy->keyProvInfo_ = std::move(keyProvInfo);
    return copy;
}

// ---------------------------------------------------------------------------
// Crl

CrlPtr Crl::fromDer(std::string_view der) {
    CallScope scope;
    long consumed = 0;
    auto crl = decodeInto(UniquePtr<X509_CRL>(X509_CRL_new_ex(libraryContext(), PROPERTY_QUERY)), der,
                          d2i_X509_CRL, consumed);
    if (!crl) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    const auto thisUpdate = fieldsOf(X509_CRL_get0_lastUpdate(crl.get()));
    const ASN1_TIME* next = X509_CRL_get0_nextUpdate(crl.get());
    const auto nextUpdate = fieldsOf(next);
    std::string issuer = encodeDer(i2d_X509_NAME, X509_CRL_get_issuer(crl.get()));
    if (!thisUpdate || (next != nullptr && !nextUpdate) || issuer.empty()) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    std::shared_ptr<Crl> result(new Crl());
    result->crl_ = std::move(crl);
    result->der_ = std::string(der.substr(0, static_cast<size_t>(consumed)));
    result->issuerDer_ = std::move(issuer);
    result->thisUpdate_ = secondsOf(*thisUpdate);
    if (nextUpdate) result->nextUpdate_ = secondsOf(*nextUpdate);
    return result;
}

CrlPtr Crl::fromPem(std::string_view pem) {
    CallScope scope;
    const auto der = pemBlock(pem, PEM_STRING_X509_CRL);
    if (!der) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return nullptr;
    }
    return fromDer(*der);
}

UniquePtr<X509_CRL> Crl::x509CrlRef() const {
    X509_CRL_up_ref(crl_.get());
    return UniquePtr<X509_CRL>(crl_.get());
}

bool Crl::lists(std::string_view serialNumber) const {
    CallScope scope;
    const auto serial = integerFromContent(serialNumber);
    if (!serial) return false;
    X509_REVOKED* entry = nullptr;
    return X509_CRL_get0_by_serial(crl_.get(), &entry, serial.get()) == 1;
}

CrlPtr Crl::withOrigin(std::string storeName, std::filesystem::path file) const {
    std::shared_ptr<Crl> copy(new Crl());
    copy->crl_ = x509CrlRef();
    copy->der_ = der_;
    copy->issuerDer_ = issuerDer_;
    copy->thisUpdate_ = thisUpdate_;
    copy->nextUpdate_ = nextUpdate_;
    copy->storeName_ = std::move(storeName);
    copy->fileStem_ = file.stem().string();
    copy->file_ = std::move(file);
    return copy;
}

}  // namespace crypto
