#include "support/test_pki.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <stdexcept>

#include "platform/crypto/library.h"
#include "platform/crypto/store.h"

namespace testing_support {

using crypto::UniquePtr;

namespace {

using std::chrono::sys_days;
using namespace std::chrono_literals;

constexpr crypto::Seconds at(int y, unsigned m, unsigned d) {
    return sys_days{std::chrono::year{y} / std::chrono::month{m} / std::chrono::day{d}};
}

const crypto::Seconds DEFAULT_FROM = at(2020, 1, 1);
const crypto::Seconds DEFAULT_TO = at(2049, 12, 31) + 23h + 59min + 59s;
const crypto::Seconds CA_FROM = at(2015, 1, 1);
const crypto::Seconds REVOKED_AT = at(2020, 6, 1);

// Throws with OpenSSL's queue appended, which says what went wrong.
[[noreturn]] void fail(const std::string& what) {
    std::string message = "test PKI: " + what;
    while (const unsigned long error = ERR_get_error()) {
        std::array<char, 256> text{};
        ERR_error_string_n(error, text.data(), text.size());
        message += "; ";
        message += text.data();
    }
    throw std::runtime_error(message);
}

void check(bool ok, const std::string& what) {
    if (!ok) fail(what);
}

struct KeyOfOid {
    std::string_view key;
    std::string_view oid;
};

constexpr std::array<KeyOfOid, 16> KEYS{{
    {"CN", "2.5.4.3"},
    {"SN", "2.5.4.4"},
    {"SERIALNUMBER", "2.5.4.5"},
    {"C", "2.5.4.6"},
    {"L", "2.5.4.7"},
    {"S", "2.5.4.8"},
    {"STREET", "2.5.4.9"},
    {"O", "2.5.4.10"},
    {"OU", "2.5.4.11"},
    {"T", "2.5.4.12"},
    {"Description", "2.5.4.13"},
    {"PostalCode", "2.5.4.17"},
    {"G", "2.5.4.42"},
    {"I", "2.5.4.43"},
    {"E", "1.2.840.113549.1.9.1"},
    {"DC", "0.9.2342.19200300.100.1.25"},
}};

std::string oidOfKey(std::string_view key) {
    for (const auto& entry : KEYS) {
        if (entry.key == key) return std::string(entry.oid);
    }
    if (key.starts_with("OID.")) key.remove_prefix(4);
    if (!key.empty() && key.find_first_not_of("0123456789.") == std::string_view::npos) return std::string(key);
    fail("unknown name key " + std::string(key));
}

std::string bytesFromHex(std::string_view hex) {
    auto nibble = [&](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        fail("not hex: " + std::string(hex));
    };
    check(hex.size() % 2 == 0 && !hex.empty(), "odd or empty hex: " + std::string(hex));
    std::string out;
    for (size_t i = 0; i < hex.size(); i += 2) {
        out += static_cast<char>((nibble(hex[i]) << 4) | nibble(hex[i + 1]));
    }
    return out;
}

std::string bioText(BIO* bio) {
    const char* data = nullptr;
    const long length = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<size_t>(length));
}

UniquePtr<BIO> memoryBio() {
    UniquePtr<BIO> bio(BIO_new(BIO_s_mem()));
    check(bio != nullptr, "BIO_new");
    return bio;
}

void writeFileMode(const std::filesystem::path& path, std::string_view contents, mode_t mode) {
    std::filesystem::create_directories(path.parent_path());
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    check(fd >= 0, "cannot write " + path.string());
    bool ok = ::fchmod(fd, mode) == 0;
    size_t done = 0;
    while (ok && done < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        ok = n > 0;
        if (ok) done += static_cast<size_t>(n);
    }
    ok = (::close(fd) == 0) && ok;
    check(ok, "cannot write " + path.string());
}

std::string pkcs8Pem(EVP_PKEY* key, const std::string& passphrase = {}) {
    auto bio = memoryBio();
    const EVP_CIPHER* cipher = passphrase.empty() ? nullptr : EVP_aes_256_cbc();
    check(PEM_write_bio_PKCS8PrivateKey(bio.get(), key, cipher, passphrase.empty() ? nullptr : passphrase.data(),
                                        static_cast<int>(passphrase.size()), nullptr, nullptr) == 1,
          "PEM_write_bio_PKCS8PrivateKey");
    return bioText(bio.get());
}

std::string pkcs8Der(EVP_PKEY* key) {
    auto bio = memoryBio();
    check(i2d_PKCS8PrivateKey_bio(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
          "i2d_PKCS8PrivateKey_bio");
    return bioText(bio.get());
}

std::string plainLabel(std::string_view label) {
    std::string out;
    for (const char c : label) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-';
        out += plain ? c : '_';
    }
    return out.empty() ? "cert" : out;
}

void setTime(ASN1_TIME* field, crypto::Seconds when) {
    // sys_seconds counts from the Unix epoch, as time_t does, and reaches
    // year 9999 where system_clock::to_time_t would overflow.
    check(ASN1_TIME_set(field, static_cast<time_t>(when.time_since_epoch().count())) != nullptr, "ASN1_TIME_set");
}

void addExtension(X509* cert, X509V3_CTX& context, int nid, const char* value) {
    UniquePtr<X509_EXTENSION> extension(X509V3_EXT_nconf_nid(nullptr, &context, nid, value));
    check(extension != nullptr, std::string("extension ") + value);
    check(X509_add_ext(cert, extension.get(), -1) == 1, "X509_add_ext");
}

}  // namespace

// ---------------------------------------------------------------------------

UniquePtr<X509_NAME> makeName(const NameEntries& entries) {
    UniquePtr<X509_NAME> name(X509_NAME_new());
    check(name != nullptr, "X509_NAME_new");
    for (const auto& [rawKey, value] : entries) {
        std::string_view key = rawKey;
        const bool joinPrevious = key.starts_with('+');
        if (joinPrevious) key.remove_prefix(1);
        UniquePtr<ASN1_OBJECT> object(OBJ_txt2obj(oidOfKey(key).c_str(), 1));
        check(object != nullptr, "bad OID for " + rawKey);
        check(X509_NAME_add_entry_by_OBJ(name.get(), object.get(), MBSTRING_UTF8,
                                         reinterpret_cast<const unsigned char*>(value.data()),
                                         static_cast<int>(value.size()), -1, joinPrevious ? -1 : 0) == 1,
              "name entry " + rawKey + "=" + value);
    }
    return name;
}

namespace {

// Where generated keys are kept between test processes: CTest runs every
// test in a process of its own, and without this each would pay for its
// keys again. Only when run by CTest (which names the build's bin folder);
// a test binary started by hand keeps its keys in memory.
std::optional<std::filesystem::path> keyCacheFolder() {
    const char* bin = std::getenv("QUILLMARK_BUILD_BIN");
    if (bin == nullptr || *bin == '\0') return std::nullopt;
    return std::filesystem::path(bin).parent_path() / "test-keys";
}

UniquePtr<EVP_PKEY> cachedKey(const std::filesystem::path& file) {
    const std::string pem = readFile(file);
    if (pem.empty()) return nullptr;
    UniquePtr<BIO> bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    UniquePtr<EVP_PKEY> key(
        bio ? PEM_read_bio_PrivateKey_ex(bio.get(), nullptr, nullptr, nullptr, crypto::libraryContext(), nullptr)
            : nullptr);
    ERR_clear_error();
    if (!key || EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA || EVP_PKEY_get_bits(key.get()) != 2048) return nullptr;
    return key;
}

void cacheKey(const std::filesystem::path& file, EVP_PKEY* key) {
    // Written beside and renamed, so that a process running in parallel
    // reads a whole key or none; losing a race only costs a generation.
    const auto temporary = file.parent_path() / (file.filename().string() + "." + std::to_string(::getpid()));
    try {
        writeFileMode(temporary, pkcs8Pem(key), 0600);
        std::filesystem::rename(temporary, file);
    } catch (const std::exception&) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    }
}

UniquePtr<EVP_PKEY> makeKey(size_t index) {
    const auto folder = keyCacheFolder();
    const auto file = folder ? *folder / ("rsa2048-" + std::to_string(index) + ".pem") : std::filesystem::path();
    if (folder) {
        if (auto key = cachedKey(file)) return key;
    }
    UniquePtr<EVP_PKEY> key(EVP_PKEY_Q_keygen(crypto::libraryContext(), nullptr, "RSA", size_t{2048}));
    check(key != nullptr, "RSA key generation");
    if (folder) cacheKey(file, key.get());
    return key;
}

}  // namespace

std::shared_ptr<EVP_PKEY> pooledKey(size_t index) {
    // Never destroyed: keys outlive every test and must not be freed after
    // OpenSSL's own exit handler has run.
    static auto* mutex = new std::mutex;
    static auto* keys = new std::vector<std::shared_ptr<EVP_PKEY>>;
    std::lock_guard lock(*mutex);
    while (keys->size() <= index) keys->push_back(std::shared_ptr<EVP_PKEY>(makeKey(keys->size())));
    return (*keys)[index];
}

std::string PkiCert::pem() const {
    auto bio = memoryBio();
    check(PEM_write_bio_X509(bio.get(), cert->x509()) == 1, "PEM_write_bio_X509");
    return bioText(bio.get());
}

std::string PkiCert::keyPem() const { return pkcs8Pem(key.get()); }

// ---------------------------------------------------------------------------

struct TestPki::Record {
    PkiCert handle;
    std::optional<size_t> issuer;  // none: self-signed
    std::vector<std::string> revoked;  // serial numbers
    unsigned crlNumber = 0;
};

PkiCertBuilder::PkiCertBuilder(TestPki& pki, std::string label, bool ca)
    : pki_(pki),
      label_(std::move(label)),
      ca_(ca),
      subject_(makeName({{"C", "CN"}, {"O", "Quillmark Test"}, {"CN", label_}})),
      from_(ca ? CA_FROM : DEFAULT_FROM),
      to_(DEFAULT_TO),
      withKey_(!ca),
      keySpec_(crypto::AT_KEYEXCHANGE),
      store_(ca ? "ca" : "my") {}

PkiCertBuilder& PkiCertBuilder::subject(NameEntries entries) {
    subject_ = makeName(entries);
    return *this;
}

PkiCertBuilder& PkiCertBuilder::subjectName(const X509_NAME* name) {
    subject_.reset(X509_NAME_dup(name));
    check(subject_ != nullptr, "X509_NAME_dup");
    return *this;
}

PkiCertBuilder& PkiCertBuilder::serial(std::string_view hex) {
    serial_ = bytesFromHex(hex);
    return *this;
}

PkiCertBuilder& PkiCertBuilder::validity(crypto::Seconds from, crypto::Seconds to) {
    from_ = from;
    to_ = to;
    return *this;
}

PkiCertBuilder& PkiCertBuilder::expired() { return validity(at(2010, 1, 1), at(2011, 1, 1)); }

PkiCertBuilder& PkiCertBuilder::notYetValid() { return validity(at(2045, 1, 1), DEFAULT_TO); }

PkiCertBuilder& PkiCertBuilder::issuedBy(const PkiCert& issuer) {
    issuerDer_ = issuer.der();
    return *this;
}

PkiCertBuilder& PkiCertBuilder::selfSigned() {
    issuerDer_ = std::string();
    return *this;
}

PkiCertBuilder& PkiCertBuilder::withoutKey() {
    withKey_ = false;
    return *this;
}

PkiCertBuilder& PkiCertBuilder::container(std::string name) {
    container_ = std::move(name);
    withKey_ = true;
    return *this;
}

PkiCertBuilder& PkiCertBuilder::keySpec(uint32_t keySpec) {
    keySpec_ = keySpec;
    return *this;
}

PkiCertBuilder& PkiCertBuilder::keyPassphrase(std::string passphrase) {
    passphrase_ = std::move(passphrase);
    return *this;
}

PkiCertBuilder& PkiCertBuilder::sameKeyAs(const PkiCert& other) {
    key_ = other.key;
    return *this;
}

PkiCertBuilder& PkiCertBuilder::inStore(std::string store) {
    store_ = std::move(store);
    return *this;
}

PkiCertBuilder& PkiCertBuilder::inNoStore() {
    store_.clear();
    return *this;
}

PkiCertBuilder& PkiCertBuilder::brokenSignature() {
    brokenSignature_ = true;
    return *this;
}

PkiCert PkiCertBuilder::install() { return pki_.build(*this); }

// ---------------------------------------------------------------------------

TestPki::TestPki(TestHome& home) : home_(home.path()) {
    ca("Quillmark Test Root").selfSigned().serial("01").inStore("root").install();
    ca("Quillmark Test CA").serial("02").install();
}

TestPki::~TestPki() = default;

const PkiCert& TestPki::root() const { return records_.at(0)->handle; }

const PkiCert& TestPki::intermediate() const { return records_.at(1)->handle; }

PkiCertBuilder TestPki::user(std::string commonName) { return PkiCertBuilder(*this, std::move(commonName), false); }

PkiCertBuilder TestPki::ca(std::string commonName) { return PkiCertBuilder(*this, std::move(commonName), true); }

const PkiCert& TestPki::orphanCa() {
    if (!orphanCa_) {
        ca("Quillmark Orphan CA").inNoStore().install();
        orphanCa_ = records_.size() - 1;
    }
    return records_[*orphanCa_]->handle;
}

const PkiCert& TestPki::untrustedRoot() {
    if (!untrustedRoot_) {
        ca("Quillmark Untrusted Root").selfSigned().install();
        untrustedRoot_ = records_.size() - 1;
    }
    return records_[*untrustedRoot_]->handle;
}

std::shared_ptr<EVP_PKEY> TestPki::nextKey() { return pooledKey(nextKey_++); }

std::string TestPki::nextSerial() {
    const unsigned serial = nextSerial_++;
    return std::string{static_cast<char>((serial >> 8) & 0xFF), static_cast<char>(serial & 0xFF)};
}

std::string TestPki::uniqueContainer(const std::string& label) {
    auto used = [&](const std::string& name) {
        for (const auto& record : records_) {
            if (record->handle.container == name) return true;
        }
        return false;
    };
    std::string name = label;
    for (int n = 2; used(name); ++n) name = label + " (" + std::to_string(n) + ")";
    return name;
}

size_t TestPki::indexOf(std::string_view der) const {
    for (size_t i = 0; i < records_.size(); ++i) {
        if (records_[i]->handle.der() == der) return i;
    }
    fail("not a certificate of this PKI");
}

PkiCert TestPki::build(PkiCertBuilder& b) {
    auto record = std::make_unique<Record>();
    PkiCert& handle = record->handle;
    handle.label = b.label_;
    handle.key = b.key_ ? b.key_ : nextKey();

    if (!b.issuerDer_) {
        record->issuer = b.ca_ ? 0 : 1;  // the root, the intermediate
    } else if (!b.issuerDer_->empty()) {
        record->issuer = indexOf(*b.issuerDer_);
    }
    const PkiCert* issuer = record->issuer ? &records_[*record->issuer]->handle : nullptr;

    UniquePtr<X509> x509(X509_new_ex(crypto::libraryContext(), nullptr));
    check(x509 != nullptr, "X509_new_ex");
    check(X509_set_version(x509.get(), X509_VERSION_3) == 1, "X509_set_version");
    const auto serial = crypto::integerFromContent(b.serial_ ? *b.serial_ : nextSerial());
    check(serial != nullptr, "serial is not a valid INTEGER encoding");
    check(X509_set_serialNumber(x509.get(), serial.get()) == 1, "X509_set_serialNumber");
    check(X509_set_subject_name(x509.get(), b.subject_.get()) == 1, "X509_set_subject_name");
    check(X509_set_issuer_name(x509.get(), issuer ? X509_get_subject_name(issuer->x509()) : b.subject_.get()) == 1,
          "X509_set_issuer_name");
    setTime(X509_getm_notBefore(x509.get()), b.from_);
    setTime(X509_getm_notAfter(x509.get()), b.to_);
    check(X509_set_pubkey(x509.get(), handle.key.get()) == 1, "X509_set_pubkey");

    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer ? issuer->x509() : x509.get(), x509.get(), nullptr, nullptr, 0);
    if (b.ca_) {
        addExtension(x509.get(), context, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(x509.get(), context, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(x509.get(), context, NID_basic_constraints, "CA:FALSE");
        addExtension(x509.get(), context, NID_key_usage,
                     "critical,digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment");
        addExtension(x509.get(), context, NID_ext_key_usage, "emailProtection,clientAuth");
    }
    addExtension(x509.get(), context, NID_subject_key_identifier, "hash");
    addExtension(x509.get(), context, NID_authority_key_identifier, "keyid:always");

    EVP_PKEY* signer = issuer ? issuer->key.get() : handle.key.get();
    check(X509_sign(x509.get(), signer, EVP_sha256()) > 0, "X509_sign");
    std::string der = crypto::encodeDer(i2d_X509, x509.get());
    check(!der.empty(), "i2d_X509");
    // The signature BIT STRING ends the certificate.
    if (b.brokenSignature_) der.back() = static_cast<char>(der.back() ^ 0x01);

    std::optional<crypto::KeyProvInfo> keyProvInfo;
    if (b.withKey_) {
        handle.container = b.container_ ? *b.container_ : uniqueContainer(b.label_);
        handle.keySpec = b.keySpec_;
        const std::filesystem::path folder = home_ / "keys" / handle.container;
        std::filesystem::create_directories(folder);
        std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
        handle.keyFile = folder / (b.keySpec_ == crypto::AT_SIGNATURE ? "signature.pem" : "exchange.pem");
        writeFileMode(handle.keyFile, pkcs8Pem(handle.key.get(), b.passphrase_), 0600);
        keyProvInfo = crypto::KeyProvInfo{TEST_PROVIDER, crypto::PROV_RSA_FULL, handle.container, b.keySpec_};
    }

    if (b.store_.empty()) {
        handle.cert = crypto::Certificate::fromDer(der);
        check(handle.cert != nullptr, "certificate does not parse");
    } else {
        auto store = crypto::Store::openSystem(b.store_);
        check(store != nullptr, "cannot open store " + b.store_);
        handle.cert = store->add(der, keyProvInfo);
        check(handle.cert != nullptr, "cannot add to store " + b.store_);
        handle.store = store->name();
        handle.certFile = handle.cert->file();
        if (keyProvInfo) {
            handle.keyProvFile = handle.certFile;
            handle.keyProvFile.replace_extension(".keyprov");
        }
    }

    records_.push_back(std::move(record));
    return records_.back()->handle;
}

crypto::CrlPtr TestPki::revoke(const PkiCert& cert) {
    const Record& record = *records_[indexOf(cert.der())];
    check(record.issuer.has_value(), "a self-signed certificate has no issuer to revoke it");
    Record& issuer = *records_[*record.issuer];
    issuer.revoked.push_back(record.handle.cert->serialNumber());
    return crlFor(issuer.handle);
}

crypto::CrlPtr TestPki::crlFor(const PkiCert& issuerCert) {
    Record& issuer = *records_[indexOf(issuerCert.der())];
    const unsigned number = ++issuer.crlNumber;

    UniquePtr<X509_CRL> crl(X509_CRL_new_ex(crypto::libraryContext(), nullptr));
    check(crl != nullptr, "X509_CRL_new_ex");
    check(X509_CRL_set_version(crl.get(), 1) == 1, "X509_CRL_set_version");  // v2
    check(X509_CRL_set_issuer_name(crl.get(), X509_get_subject_name(issuer.handle.x509())) == 1, "CRL issuer");
    UniquePtr<ASN1_TIME> thisUpdate(ASN1_TIME_new());
    UniquePtr<ASN1_TIME> nextUpdate(ASN1_TIME_new());
    check(thisUpdate && nextUpdate, "ASN1_TIME_new");
    setTime(thisUpdate.get(), REVOKED_AT + std::chrono::minutes(number));
    setTime(nextUpdate.get(), DEFAULT_TO);
    check(X509_CRL_set1_lastUpdate(crl.get(), thisUpdate.get()) == 1, "CRL thisUpdate");
    check(X509_CRL_set1_nextUpdate(crl.get(), nextUpdate.get()) == 1, "CRL nextUpdate");

    UniquePtr<ASN1_TIME> revokedAt(ASN1_TIME_new());
    check(revokedAt != nullptr, "ASN1_TIME_new");
    setTime(revokedAt.get(), REVOKED_AT);
    for (const std::string& serial : issuer.revoked) {
        UniquePtr<X509_REVOKED> entry(X509_REVOKED_new());
        const auto integer = crypto::integerFromContent(serial);
        check(entry && integer, "X509_REVOKED_new");
        check(X509_REVOKED_set_serialNumber(entry.get(), integer.get()) == 1, "revoked serial");
        check(X509_REVOKED_set_revocationDate(entry.get(), revokedAt.get()) == 1, "revocation date");
        check(X509_CRL_add0_revoked(crl.get(), entry.get()) == 1, "X509_CRL_add0_revoked");
        entry.release();  // owned by the CRL now
    }
    UniquePtr<ASN1_INTEGER> crlNumber(ASN1_INTEGER_new());
    check(crlNumber && ASN1_INTEGER_set(crlNumber.get(), number) == 1, "CRL number");
    check(X509_CRL_add1_ext_i2d(crl.get(), NID_crl_number, crlNumber.get(), 0, 0) == 1, "CRL number extension");
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer.handle.x509(), nullptr, nullptr, crl.get(), 0);
    UniquePtr<X509_EXTENSION> keyId(X509V3_EXT_nconf_nid(nullptr, &context, NID_authority_key_identifier, "keyid:always"));
    check(keyId && X509_CRL_add_ext(crl.get(), keyId.get(), -1) == 1, "CRL authority key identifier");
    check(X509_CRL_sort(crl.get()) == 1, "X509_CRL_sort");
    check(X509_CRL_sign(crl.get(), issuer.handle.key.get(), EVP_sha256()) > 0, "X509_CRL_sign");

    const std::string der = crypto::encodeDer(i2d_X509_CRL, crl.get());
    check(!der.empty(), "i2d_X509_CRL");
    if (issuer.handle.store.empty()) {
        auto parsed = crypto::Crl::fromDer(der);
        check(parsed != nullptr, "CRL does not parse");
        return parsed;
    }
    auto store = crypto::Store::openSystem(issuer.handle.store);
    check(store != nullptr, "cannot open store " + issuer.handle.store);
    auto stored = store->addCrl(der);
    check(stored != nullptr, "cannot add the CRL to " + issuer.handle.store);
    return stored;
}

std::vector<PkiCert> TestPki::chainOf(const PkiCert& cert) const {
    std::vector<PkiCert> chain;
    const Record* record = records_[indexOf(cert.der())].get();
    while (record->issuer) {
        record = records_[*record->issuer].get();
        chain.push_back(record->handle);
    }
    return chain;
}

ExportedFiles TestPki::exportFiles(const PkiCert& cert, std::string_view password, bool withChain) {
    ExportedFiles files;
    files.folder = home_ / "export" / (std::to_string(++exports_) + "-" + plainLabel(cert.label));
    files.certPem = files.folder / "cert.pem";
    files.certDer = files.folder / "cert.der";
    files.keyPem = files.folder / "key.pem";
    files.keyDer = files.folder / "key.der";
    files.pkcs12 = files.folder / "cert.p12";
    files.password = std::string(password);

    writeFileMode(files.certPem, cert.pem(), 0644);
    writeFileMode(files.certDer, cert.der(), 0644);
    writeFileMode(files.keyPem, pkcs8Pem(cert.key.get()), 0600);
    writeFileMode(files.keyDer, pkcs8Der(cert.key.get()), 0600);

    UniquePtr<STACK_OF(X509)> chain(sk_X509_new_null());
    check(chain != nullptr, "sk_X509_new_null");
    if (withChain) {
        for (const PkiCert& issuer : chainOf(cert)) {
            auto ref = issuer.cert->x509Ref();
            check(sk_X509_push(chain.get(), ref.get()) > 0, "sk_X509_push");
            ref.release();  // owned by the stack now
        }
    }
    UniquePtr<PKCS12> p12(PKCS12_create_ex(files.password.c_str(), cert.label.c_str(), cert.key.get(), cert.x509(),
                                           chain.get(), 0, 0, 0, 0, 0, crypto::libraryContext(), nullptr));
    check(p12 != nullptr, "PKCS12_create_ex");
    const std::string p12Der = crypto::encodeDer(i2d_PKCS12, p12.get());
    check(!p12Der.empty(), "i2d_PKCS12");
    writeFileMode(files.pkcs12, p12Der, 0600);
    return files;
}

}  // namespace testing_support
