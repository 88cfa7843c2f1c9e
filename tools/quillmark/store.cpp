#include "store.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs12.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "exit_status.h"
#include "host_ui.h"
#include "platform/codepage/codepage.h"
#include "platform/context/context.h"
#include "platform/crypto/certificate.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/library.h"
#include "platform/crypto/names.h"
#include "platform/crypto/openssl_ptr.h"
#include "platform/crypto/provider.h"
#include "platform/crypto/store.h"
#include "platform/files/files.h"
#include "platform/registry/registry.h"
#include "platform/ui/ui.h"

namespace host {
namespace {

namespace fs = std::filesystem;
using crypto::CertPtr;
using crypto::CrlPtr;
using crypto::UniquePtr;

// The provider names the software provider answers to. An imported key is
// filed under the Enhanced one, which is the name the control asks for.
constexpr std::string_view ENHANCED_PROVIDER = "Microsoft Enhanced Cryptographic Provider v1.0";
constexpr std::string_view BASE_PROVIDER = "Microsoft Base Cryptographic Provider v1.0";

// As large as a store reads; anything bigger is not a certificate file.
constexpr uintmax_t MAX_IMPORT_SIZE = 64u * 1024 * 1024;
// Derived container names are cut here (UTF-16 units), so that the number
// that makes one unique still fits in a file-name component.
constexpr size_t MAX_DERIVED_CONTAINER = 64;
// A container is one file-name component.
constexpr size_t MAX_CONTAINER_BYTES = 255;

constexpr std::string_view LIST_USAGE = "store list [STORE]";
constexpr std::string_view IMPORT_USAGE =
    "store import FILE [--store NAME] [--password P] [--container NAME] [--protect PASSPHRASE]\n"
    "       quillmark store import CERTFILE --provider NAME --container LABEL";
constexpr std::string_view REMOVE_USAGE = "store remove STORE FILESTEM";
constexpr std::string_view PROVIDER_ADD_USAGE = "store provider add NAME --module PATH [--slot N | --token LABEL]";
constexpr std::string_view PROVIDER_LIST_USAGE = "store provider list";
constexpr std::string_view PROVIDER_REMOVE_USAGE = "store provider remove NAME";
constexpr std::string_view PROVIDER_USAGE =
    "store provider add NAME --module PATH [--slot N | --token LABEL]\n"
    "       quillmark store provider list\n"
    "       quillmark store provider remove NAME";
constexpr std::string_view STORE_USAGE =
    "store list [STORE]\n"
    "       quillmark store import FILE [--store NAME] [--password P] [--container NAME] [--protect PASSPHRASE]\n"
    "       quillmark store import CERTFILE --provider NAME --container LABEL\n"
    "       quillmark store remove STORE FILESTEM\n"
    "       quillmark store provider add NAME --module PATH [--slot N | --token LABEL]\n"
    "       quillmark store provider list\n"
    "       quillmark store provider remove NAME";

// Where provider entries live, under HKEY_LOCAL_MACHINE.
constexpr std::string_view PROVIDERS_KEY = "SOFTWARE\\Quillmark\\Providers";
// A token label is a fixed field of 32 bytes.
constexpr size_t MAX_TOKEN_LABEL = 32;

// The command line is wrong: EXIT_USAGE, with the usage of the subcommand.
class CommandLineError : public std::runtime_error {
public:
    CommandLineError(const std::string& what, std::string_view usage) : std::runtime_error(what), usage_(usage) {}
    std::string_view usage() const { return usage_; }

private:
    std::string_view usage_;
};

// What was asked cannot be done: EXIT_FAILED. (A bad import file is an
// InputError: EXIT_USAGE, as for every input file of the host.)
class Failure : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// --- Command line ------------------------------------------------------------

struct Words {
    std::map<std::string, std::string, std::less<>> options;
    std::vector<std::string> positional;

    std::optional<std::string> option(std::string_view name) const {
        const auto it = options.find(name);
        if (it == options.end()) return std::nullopt;
        return it->second;
    }
};

// The host's rule: options take one value each and may stand anywhere.
Words parseWords(std::span<const std::string> words, std::initializer_list<std::string_view> known, size_t fewest,
                 size_t most, std::string_view usage) {
    Words parsed;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& word = words[i];
        if (word.starts_with("--")) {
            if (std::find(known.begin(), known.end(), word) == known.end()) {
                throw CommandLineError("unknown option " + word, usage);
            }
            if (i + 1 >= words.size()) throw CommandLineError(word + " needs a value", usage);
            if (!parsed.options.emplace(word, words[i + 1]).second) {
                throw CommandLineError(word + " given twice", usage);
            }
            ++i;
        } else {
            parsed.positional.push_back(word);
        }
    }
    if (parsed.positional.size() > most) {
        throw CommandLineError("unexpected argument " + parsed.positional[most], usage);
    }
    if (parsed.positional.size() < fewest) {
        throw CommandLineError("expected " + std::to_string(fewest) + " argument(s)", usage);
    }
    return parsed;
}

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + ('a' - 'A'));
    }
    return out;
}

std::string checkedStoreName(const std::string& name, std::string_view usage) {
    if (!files::isPlainFileName(name)) throw CommandLineError("not a store name: " + name, usage);
    return asciiLower(name);
}

bool isUtf8(std::string_view text) { return codepage::utf8FromWide(codepage::wideFromUtf8(text)) == text; }

// A container name becomes a folder name and a line of a property file.
bool isContainerName(std::string_view name) {
    if (name.size() > MAX_CONTAINER_BYTES || !files::isPlainFileName(name) || !isUtf8(name)) return false;
    return std::none_of(name.begin(), name.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// Text that goes into a registry value, a line of a property file and a
// line of output: UTF-8, no control characters.
bool isTokenText(std::string_view text) {
    return !text.empty() && isUtf8(text) && std::none_of(text.begin(), text.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte < 0x20 || byte == 0x7F;
    });
}

// --- Text --------------------------------------------------------------------

// Names and container names come from files anyone may have written; a
// control character in them must not reach the terminal or break the
// one-item-a-line output.
std::string lineSafe(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        } else {
            out += c;
        }
    }
    return out;
}

std::string hexCode(uint32_t code) {
    char text[11];
    std::snprintf(text, sizeof text, "0x%08X", code);
    return text;
}

std::string describeError(uint32_t code) {
    switch (code) {
        case crypto::E_ACCESSDENIED: return "access denied (" + hexCode(code) + ")";
        case crypto::ERROR_PATH_NOT_FOUND: return "something other than a folder is in the way (" + hexCode(code) + ")";
        case crypto::E_INVALIDARG: return "invalid argument (" + hexCode(code) + ")";
        case crypto::NTE_NO_MEMORY: return "out of memory (" + hexCode(code) + ")";
        default: return "error " + hexCode(code);
    }
}

// The X.500 string the control shows, in UTF-8 for the terminal.
std::string nameString(const X509_NAME* name) {
    const auto ansi = crypto::x500String(name);
    if (!ansi) return "(cannot be shown: " + hexCode(crypto::getLastError()) + ")";
    return lineSafe(codepage::utf8FromAnsi(*ansi));
}

std::string subjectOf(const crypto::Certificate& cert) { return nameString(X509_get_subject_name(cert.x509())); }
std::string issuerOf(const crypto::Certificate& cert) { return nameString(X509_get_issuer_name(cert.x509())); }
std::string issuerOf(const crypto::Crl& crl) { return nameString(X509_CRL_get_issuer(crl.x509Crl())); }

// The control's serial form: two upper-case hex digits a byte, most
// significant first, a blank after every second byte.
std::string serialForm(std::string_view bytes) {
    static constexpr char HEX[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0 && i % 2 == 0) out += ' ';
        const auto byte = static_cast<unsigned char>(bytes[i]);
        out += HEX[byte >> 4];
        out += HEX[byte & 0x0F];
    }
    return out;
}

std::string timeText(const crypto::UtcFields& t) {
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month, t.day, t.hour, t.minute,
                  t.second);
    return text;
}

std::string timeText(crypto::Seconds when) {
    const auto day = std::chrono::floor<std::chrono::days>(when);
    const std::chrono::year_month_day date(day);
    const std::chrono::hh_mm_ss clock(when - day);
    return timeText(crypto::UtcFields{static_cast<int>(date.year()), static_cast<int>(unsigned(date.month())),
                                      static_cast<int>(unsigned(date.day())), static_cast<int>(clock.hours().count()),
                                      static_cast<int>(clock.minutes().count()),
                                      static_cast<int>(clock.seconds().count())});
}

std::string openSslReason() {
    const unsigned long error = ERR_peek_last_error();
    const char* reason = error != 0 ? ERR_reason_error_string(error) : nullptr;
    ERR_clear_error();
    return reason != nullptr ? reason : "unknown reason";
}

// --- Keys --------------------------------------------------------------------

// Provider names compare as registry key names do, without regard to ASCII
// case; no name at all is the software provider too.
bool isSoftwareProvider(std::string_view name) {
    return name.empty() || asciiLower(name) == asciiLower(ENHANCED_PROVIDER) ||
           asciiLower(name) == asciiLower(BASE_PROVIDER);
}

fs::path keysFolder() { return platform::context().home() / "keys"; }

// The file the software provider reads for a key specification.
std::string_view keyFileName(uint32_t keySpec) {
    return keySpec == crypto::AT_SIGNATURE ? "signature.pem" : "exchange.pem";
}

std::string_view keySpecText(uint32_t keySpec) {
    return keySpec == crypto::AT_SIGNATURE ? "signature key" : "exchange key";
}

// Anything at all stands there, a dangling link included.
bool somethingAt(const fs::path& path) {
    std::error_code error;
    return fs::symlink_status(path, error).type() != fs::file_type::not_found && !error;
}

enum class KeyState {
    // the software provider's key files
    Present,
    BadContainerName,
    NoContainer,
    NoKeyFile,
    // a registered provider's key, as the provider answers
    OnToken,
    TokenAbsent,
    NotOnToken,
    ModuleMissing,
    NotRegistered,
    EntryDamaged,
    Unchecked,
};

struct KeyStatus {
    KeyState state;
    uint32_t error = 0;  // Unchecked: the provider's answer
};

// A key on a token: the provider is asked, silently, so it never asks for
// the PIN; finding a key needs none.
KeyStatus tokenKeyStatus(const crypto::KeyProvInfo& info) {
    const auto context = crypto::ProviderContext::acquire(info.containerName, info.providerName, info.providerType,
                                                          crypto::CRYPT_SILENT);
    if (context && context->hasKey(info.keySpec)) return {KeyState::OnToken};
    const uint32_t error = crypto::getLastError();
    switch (error) {
        case crypto::NTE_KEYSET_NOT_DEF: return {KeyState::TokenAbsent};
        case crypto::NTE_BAD_KEYSET: return {KeyState::NotOnToken};
        case crypto::NTE_PROV_DLL_NOT_FOUND: return {KeyState::ModuleMissing};
        case crypto::NTE_PROV_TYPE_NOT_DEF: return {KeyState::NotRegistered};
        case crypto::NTE_PROV_TYPE_ENTRY_BAD: return {KeyState::EntryDamaged};
        default: return {KeyState::Unchecked, error};
    }
}

// Where the key of a key-provider property stands. The software provider's
// containers are folders of the home, looked at directly; any other
// provider is asked.
KeyStatus keyStatus(const crypto::KeyProvInfo& info) {
    if (!isSoftwareProvider(info.providerName)) return tokenKeyStatus(info);
    if (!isContainerName(info.containerName)) return {KeyState::BadContainerName};
    const fs::path folder = keysFolder() / info.containerName;
    std::error_code error;
    if (!fs::is_directory(folder, error)) return {KeyState::NoContainer};
    if (!fs::is_regular_file(folder / keyFileName(info.keySpec), error)) return {KeyState::NoKeyFile};
    return {KeyState::Present};
}

std::string keyStatusText(const KeyStatus& status) {
    switch (status.state) {
        case KeyState::Present: return "key file present";
        case KeyState::BadContainerName: return "container name is not a folder name";
        case KeyState::NoContainer: return "container missing";
        case KeyState::NoKeyFile: return "key file missing";
        case KeyState::OnToken: return "on the token";
        case KeyState::TokenAbsent: return "token absent";
        case KeyState::NotOnToken: return "not on the token";
        case KeyState::ModuleMissing: return "module cannot be loaded";
        case KeyState::NotRegistered: return "provider not registered";
        case KeyState::EntryDamaged: return "provider entry damaged";
        case KeyState::Unchecked: return "cannot be checked (" + describeError(status.error) + ")";
    }
    return "unknown";
}

// A container name from the certificate's display name: no separators or
// control characters, no leading dot (it would hide the folder), and unique
// among the containers of the home.
std::string derivedContainer(const crypto::Certificate& cert) {
    std::u16string name;
    for (char16_t c : crypto::simpleDisplayNameWide(cert, false)) {
        if (c < 0x20 || c == 0x7F || c == u'/' || c == u'\\') c = u'_';
        name += c;
    }
    const auto first = name.find_first_not_of(u' ');
    name =
        first == std::u16string::npos ? std::u16string() : name.substr(first, name.find_last_not_of(u' ') - first + 1);
    if (name.size() > MAX_DERIVED_CONTAINER) {
        name.resize(MAX_DERIVED_CONTAINER);
        if (name.back() >= 0xD800 && name.back() <= 0xDBFF) name.pop_back();
    }
    if (!name.empty() && name.front() == u'.') name.front() = u'_';
    const std::string base = name.empty() ? std::string("Imported key") : codepage::utf8FromWide(name);

    std::string candidate = base;
    for (int n = 2; somethingAt(keysFolder() / candidate); ++n) candidate = base + " (" + std::to_string(n) + ")";
    return candidate;
}

// PKCS #8 PEM, encrypted with AES-256-CBC under `passphrase` when one is
// given. The text lives in a BIO that wipes its memory when freed.
UniquePtr<BIO> encodeKey(EVP_PKEY* key, const std::string& passphrase) {
    UniquePtr<BIO> bio(BIO_new(BIO_s_secmem()));
    if (!bio) throw Failure("out of memory");
    UniquePtr<EVP_CIPHER> cipher;
    if (!passphrase.empty()) {
        cipher.reset(EVP_CIPHER_fetch(crypto::libraryContext(), "AES-256-CBC", crypto::PROPERTY_QUERY));
        if (!cipher) throw Failure("AES-256-CBC is not available: " + openSslReason());
    }
    const auto* kstr = reinterpret_cast<const unsigned char*>(passphrase.data());
    if (PEM_write_bio_PrivateKey_ex(bio.get(), key, cipher.get(), passphrase.empty() ? nullptr : kstr,
                                    static_cast<int>(passphrase.size()), nullptr, nullptr, crypto::libraryContext(),
                                    crypto::PROPERTY_QUERY) != 1) {
        throw Failure("cannot encode the private key: " + openSslReason());
    }
    return bio;
}

// Creates a file that must not exist yet, with exactly `mode`.
std::error_code writeNewFile(const fs::path& file, std::string_view contents, mode_t mode) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
    if (fd < 0) return {errno, std::generic_category()};
    int error = ::fchmod(fd, mode) == 0 ? 0 : errno;
    size_t done = 0;
    while (error == 0 && done < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0) error = errno;
    if (::close(fd) != 0 && error == 0) error = errno;
    return {error, std::generic_category()};
}

// A key container made by this import. Until commit() it is removed again
// when the import fails: nothing refers to it yet, and an import that fails
// halfway should leave the home as it found it. Only a folder this object
// made itself is ever removed; an existing container is refused, never
// touched.
class NewContainer {
public:
    NewContainer(std::string name, EVP_PKEY* key, const std::string& passphrase) : name_(std::move(name)) {
        const fs::path keys = keysFolder();
        if (::mkdir(keys.c_str(), 0700) != 0 && errno != EEXIST) {
            const int error = errno;
            throw Failure("cannot make " + keys.string() + ": " + std::strerror(error));
        }
        folder_ = keys / name_;
        if (::mkdir(folder_.c_str(), 0700) != 0) {
            const int error = errno;
            if (error == EEXIST) {
                throw Failure("key container \"" + lineSafe(name_) +
                              "\" exists already and is never overwritten; choose another name with --container");
            }
            throw Failure("cannot make the key container " + folder_.string() + ": " + std::strerror(error));
        }
        created_ = true;
        try {
            // mkdir's mode went through the umask; the provider expects 0700.
            if (::chmod(folder_.c_str(), 0700) != 0) {
                const int error = errno;
                throw Failure("cannot set the mode of " + folder_.string() + ": " + std::strerror(error));
            }
            const UniquePtr<BIO> pem = encodeKey(key, passphrase);
            const char* data = nullptr;
            const long length = BIO_get_mem_data(pem.get(), &data);
            file_ = folder_ / keyFileName(crypto::AT_KEYEXCHANGE);
            if (const auto error = writeNewFile(file_, std::string_view(data, static_cast<size_t>(length)), 0600)) {
                throw Failure("cannot write " + file_.string() + ": " + error.message());
            }
        } catch (...) {
            undo();
            throw;
        }
    }
    ~NewContainer() { undo(); }
    NewContainer(const NewContainer&) = delete;
    NewContainer& operator=(const NewContainer&) = delete;

    void commit() { created_ = false; }
    const std::string& name() const { return name_; }
    const fs::path& file() const { return file_; }

private:
    void undo() {
        if (!created_) return;
        created_ = false;
        std::error_code ignored;
        if (!file_.empty()) fs::remove(file_, ignored);
        fs::remove(folder_, ignored);
    }

    std::string name_;
    fs::path folder_;
    fs::path file_;
    bool created_ = false;
};

// --- Stores ------------------------------------------------------------------

// A certificate that has a key already keeps it; one whose software key has
// gone may get another. A key on a token is never replaced: the token may
// just be out of its reader.
void refuseWhenKeyHeld(const CertPtr& existing) {
    if (!existing || !existing->keyProvInfo()) return;
    const crypto::KeyProvInfo& held = *existing->keyProvInfo();
    if (!isSoftwareProvider(held.providerName) || keyStatus(held).state == KeyState::Present) {
        throw Failure("certificate " + lineSafe(existing->fileStem()) +
                      " is in store my already, with its key in container \"" + lineSafe(held.containerName) +
                      "\" of \"" + lineSafe(held.providerName) +
                      "\"; nothing imported (remove it first to import it again)");
    }
}

// The stores one command works on, each opened once, so that what it adds
// to one is seen by the next step (a CRL after its issuer's certificate).
class Stores {
public:
    crypto::Store& open(const std::string& name) {
        auto& slot = open_[name];
        if (!slot) {
            slot = crypto::Store::openSystem(name);
            if (!slot) throw Failure("cannot open store " + name + ": " + describeError(crypto::getLastError()));
        }
        return *slot;
    }

private:
    std::map<std::string, std::unique_ptr<crypto::Store>, std::less<>> open_;
};

CertPtr findByDer(const crypto::Store& store, std::string_view der) {
    for (const CertPtr& cert : store.certificates()) {
        if (cert->der() == der) return cert;
    }
    return nullptr;
}

bool isCa(const crypto::Certificate& cert) {
    const bool ca = X509_check_ca(cert.x509()) != 0;
    ERR_clear_error();
    return ca;
}

bool isSelfSigned(const crypto::Certificate& cert) {
    const bool selfSigned = X509_self_signed(cert.x509(), 1) == 1;
    ERR_clear_error();
    return selfSigned;
}

std::string caStoreFor(const crypto::Certificate& cert) { return isSelfSigned(cert) ? "root" : "ca"; }

std::string defaultStoreFor(const crypto::Certificate& cert) { return isCa(cert) ? caStoreFor(cert) : "my"; }

void addCertificate(Stores& stores, const std::string& storeName, const crypto::Certificate& cert, std::ostream& out) {
    crypto::Store& store = stores.open(storeName);
    if (const CertPtr existing = findByDer(store, cert.der())) {
        out << "certificate " << lineSafe(existing->fileStem()) << " already in store " << store.name() << ": "
            << subjectOf(cert) << '\n';
        return;
    }
    const CertPtr stored = store.add(cert.der());
    if (!stored) {
        throw Failure("cannot add " + subjectOf(cert) + " to store " + store.name() + ": " +
                      describeError(crypto::getLastError()));
    }
    out << "certificate " << lineSafe(stored->fileStem()) << " added to store " << store.name() << ": "
        << subjectOf(cert) << '\n';
}

// A CRL belongs in the store of the certificate that signed it.
void addCrl(Stores& stores, const crypto::Crl& crl, std::ostream& out) {
    crypto::Store* home = nullptr;
    bool subjectSeen = false;
    for (const std::string name : {"ca", "root"}) {
        crypto::Store& store = stores.open(name);
        for (CertPtr issuer = store.findBySubjectName(crl.issuerDer()); issuer && !home;
             issuer = store.findBySubjectName(crl.issuerDer(), issuer.get())) {
            subjectSeen = true;
            if (X509_CRL_verify(crl.x509Crl(), X509_get0_pubkey(issuer->x509())) == 1) home = &store;
            ERR_clear_error();
        }
        if (home) break;
    }
    if (!home) {
        if (subjectSeen) {
            throw Failure("the CRL of " + issuerOf(crl) +
                          " is not signed by the certificate of that name in store ca or root");
        }
        throw Failure("no certificate of the CRL's issuer " + issuerOf(crl) +
                      " in store ca or root; import the issuer's certificate first");
    }
    for (const CrlPtr& held : home->crls()) {
        if (held->der() == crl.der()) {
            out << "crl " << lineSafe(held->fileStem()) << " already in store " << home->name() << ": " << issuerOf(crl)
                << '\n';
            return;
        }
    }
    const CrlPtr stored = home->addCrl(crl.der());
    if (!stored) {
        if (crypto::getLastError() == crypto::CRYPT_E_EXISTS) {
            out << "crl of " << issuerOf(crl) << " not added: store " << home->name() << " holds a newer one\n";
            return;
        }
        throw Failure("cannot add the CRL of " + issuerOf(crl) + " to store " + home->name() + ": " +
                      describeError(crypto::getLastError()));
    }
    out << "crl " << lineSafe(stored->fileStem()) << " added to store " << home->name() << ": " << issuerOf(crl)
        << '\n';
}

// --- Import files ------------------------------------------------------------

struct Bundle {
    std::vector<CertPtr> certificates;
    std::vector<CrlPtr> crls;
};

std::string readImportFile(const fs::path& file) {
    std::error_code error;
    const auto status = fs::status(file, error);
    if (error || !fs::is_regular_file(status)) throw InputError("cannot read " + file.string() + ": not a file");
    if (fs::file_size(file, error) > MAX_IMPORT_SIZE || error) {
        throw InputError("cannot read " + file.string() + ": larger than a certificate file can be");
    }
    std::string contents;
    if (files::readWholeFile(file, contents) != files::ReadResult::Ok) throw InputError("cannot read " + file.string());
    return contents;
}

// Every block must be a certificate or a CRL: a file that also holds a key
// or something else is refused whole rather than imported in part.
Bundle readPem(std::string_view text, const std::string& file) {
    UniquePtr<BIO> bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    if (!bio) throw Failure("out of memory");
    Bundle bundle;
    for (size_t block = 1;; ++block) {
        char* rawName = nullptr;
        char* rawHeader = nullptr;
        unsigned char* rawData = nullptr;
        long length = 0;
        ERR_clear_error();
        const int read = PEM_read_bio(bio.get(), &rawName, &rawHeader, &rawData, &length);
        const UniquePtr<char> name(rawName);
        const UniquePtr<char> header(rawHeader);
        const UniquePtr<uint8_t> data(rawData);
        if (read != 1) {
            const unsigned long error = ERR_peek_last_error();
            ERR_clear_error();
            if (ERR_GET_LIB(error) == ERR_LIB_PEM && ERR_GET_REASON(error) == PEM_R_NO_START_LINE) break;
            throw InputError(file + ": PEM block " + std::to_string(block) + " is damaged");
        }
        const std::string_view type(name.get());
        const std::string_view der(reinterpret_cast<const char*>(data.get()), static_cast<size_t>(length));
        if (type == "CERTIFICATE" || type == "X509 CERTIFICATE") {
            CertPtr cert = crypto::Certificate::fromDer(der);
            if (!cert) throw InputError(file + ": PEM block " + std::to_string(block) + " is not a certificate");
            bundle.certificates.push_back(std::move(cert));
        } else if (type == "X509 CRL") {
            CrlPtr crl = crypto::Crl::fromDer(der);
            if (!crl) throw InputError(file + ": PEM block " + std::to_string(block) + " is not a CRL");
            bundle.crls.push_back(std::move(crl));
        } else if (type.find("PRIVATE KEY") != std::string_view::npos) {
            throw InputError(file + " holds a private key; import a certificate with its key as a PKCS #12 file");
        } else {
            throw InputError(file + ": PEM block " + std::to_string(block) + " (" + lineSafe(type) +
                             ") is neither a certificate nor a CRL");
        }
    }
    if (bundle.certificates.empty() && bundle.crls.empty()) throw InputError(file + " holds no PEM block");
    return bundle;
}

// A PKCS #12 structure, decoded in our library context so that its
// decryption finds the legacy algorithms (RC2, 3DES) that older exports use.
UniquePtr<PKCS12> decodePkcs12(std::string_view der) {
    PKCS12* raw = PKCS12_init_ex(NID_pkcs7_data, crypto::libraryContext(), crypto::PROPERTY_QUERY);
    if (raw == nullptr) throw Failure("out of memory");
    const auto* bytes = reinterpret_cast<const unsigned char*>(der.data());
    // d2i frees the object it was given when the bytes do not decode.
    const bool decoded = d2i_PKCS12(&raw, &bytes, static_cast<long>(der.size())) != nullptr;
    UniquePtr<PKCS12> p12(raw);
    ERR_clear_error();
    if (!decoded) return nullptr;
    return p12;
}

struct Pkcs12Contents {
    UniquePtr<EVP_PKEY> key;
    CertPtr certificate;
    std::vector<CertPtr> others;
};

Pkcs12Contents openPkcs12(PKCS12* p12, const std::string& password, const std::string& file) {
    ERR_clear_error();
    if (PKCS12_mac_present(p12)) {
        // An empty password may have been written as no password at all.
        const bool verified = PKCS12_verify_mac(p12, password.c_str(), -1) == 1 ||
                              (password.empty() && PKCS12_verify_mac(p12, nullptr, 0) == 1);
        if (!verified) {
            if (ERR_peek_last_error() == 0) throw Failure("wrong password for " + file);
            throw Failure("cannot check the password of " + file + ": " + openSslReason());
        }
    }
    EVP_PKEY* rawKey = nullptr;
    X509* rawCert = nullptr;
    STACK_OF(X509)* rawOthers = nullptr;
    const int parsed = PKCS12_parse(p12, password.c_str(), &rawKey, &rawCert, &rawOthers);
    Pkcs12Contents contents;
    contents.key.reset(rawKey);
    const UniquePtr<X509> cert(rawCert);
    const UniquePtr<STACK_OF(X509)> others(rawOthers);
    if (parsed != 1) throw Failure("cannot read " + file + ": " + openSslReason());

    const auto toContext = [](X509* x509) {
        const CertPtr ours = crypto::Certificate::fromDer(crypto::encodeDer(i2d_X509, x509));
        if (!ours) throw Failure("a certificate in the PKCS #12 file does not decode");
        return ours;
    };
    if (cert) contents.certificate = toContext(cert.get());
    for (int i = 0; i < sk_X509_num(others.get()); ++i) {
        contents.others.push_back(toContext(sk_X509_value(others.get(), i)));
    }
    ERR_clear_error();
    return contents;
}

struct ImportOptions {
    std::optional<std::string> store;
    std::optional<std::string> password;
    std::optional<std::string> container;
    std::optional<std::string> protect;
    std::optional<std::string> provider;
};

void importBundle(const Bundle& bundle, const ImportOptions& options, std::ostream& out) {
    if (options.password || options.container || options.protect) {
        throw CommandLineError("--password, --container and --protect apply to PKCS #12 files only", IMPORT_USAGE);
    }
    if (options.store && bundle.certificates.empty()) {
        throw CommandLineError("--store applies to certificates; a CRL goes to the store of its issuer", IMPORT_USAGE);
    }
    Stores stores;
    // Certificates first, so that a CRL finds an issuer that came with it.
    for (const CertPtr& cert : bundle.certificates) {
        addCertificate(stores, options.store ? *options.store : defaultStoreFor(*cert), *cert, out);
    }
    for (const CrlPtr& crl : bundle.crls) addCrl(stores, *crl, out);
}

void importPkcs12(PKCS12* p12, const ImportOptions& options, const std::string& file, std::ostream& out) {
    if (options.store) {
        throw CommandLineError("--store does not apply to a PKCS #12 file: its certificate goes to store my",
                               IMPORT_USAGE);
    }
    Pkcs12Contents contents = openPkcs12(p12, options.password.value_or(""), file);
    if (!contents.key) throw InputError(file + " holds no private key; import its certificates as PEM or DER");
    if (!contents.certificate) throw InputError(file + " holds a private key but not its certificate");
    const crypto::Certificate& cert = *contents.certificate;
    if (X509_check_private_key(cert.x509(), contents.key.get()) != 1) {
        ERR_clear_error();
        throw InputError(file + ": the private key does not belong to the certificate " + subjectOf(cert));
    }
    // The software provider signs and decrypts with RSA keys only.
    if (EVP_PKEY_get_base_id(contents.key.get()) != EVP_PKEY_RSA) {
        throw Failure(file + ": the private key is not an RSA key, which the software provider needs");
    }

    Stores stores;
    crypto::Store& my = stores.open("my");
    const CertPtr existing = findByDer(my, cert.der());
    refuseWhenKeyHeld(existing);

    const std::string name = options.container ? *options.container : derivedContainer(cert);
    NewContainer container(name, contents.key.get(), options.protect.value_or(""));
    const crypto::KeyProvInfo info{std::string(ENHANCED_PROVIDER), crypto::PROV_RSA_FULL, container.name(),
                                   crypto::AT_KEYEXCHANGE};
    const CertPtr stored = my.add(cert.der(), info);
    if (!stored) {
        throw Failure("cannot add " + subjectOf(cert) + " to store my: " + describeError(crypto::getLastError()));
    }
    container.commit();
    out << "key container \"" << lineSafe(container.name()) << "\" created: exchange key, "
        << (options.protect ? "protected by a pass phrase" : "unencrypted") << ", " << container.file().string()
        << '\n';
    out << "certificate " << lineSafe(stored->fileStem())
        << (existing ? " in store my now has its key" : " added to store my") << ": " << subjectOf(cert) << '\n';

    for (const CertPtr& other : contents.others) {
        if (!isCa(*other)) {
            out << "certificate skipped, not a CA certificate: " << subjectOf(*other) << '\n';
            continue;
        }
        addCertificate(stores, caStoreFor(*other), *other, out);
    }
}

// A certificate whose key lives on a token: it goes to "my" with a
// key-provider property that names the provider and the key's label (or
// id). No key file is written. The provider is asked, without a PIN,
// whether the key is there, so that no certificate points at a key that
// cannot be reached.
void importTokenCertificate(const Bundle& bundle, const ImportOptions& options, const std::string& file,
                            std::ostream& out) {
    if (bundle.certificates.size() != 1 || !bundle.crls.empty()) {
        throw InputError(file + ": --provider takes a file with exactly one certificate");
    }
    const crypto::Certificate& cert = *bundle.certificates.front();
    const std::string& provider = *options.provider;
    const std::string& container = *options.container;
    // The provider signs with RSA keys only.
    if (EVP_PKEY_get_base_id(X509_get0_pubkey(cert.x509())) != EVP_PKEY_RSA) {
        throw Failure(file + ": the certificate's key is not an RSA key, which a token provider needs");
    }
    if (!crypto::findRegisteredProvider(provider)) {
        if (crypto::getLastError() == crypto::NTE_PROV_TYPE_ENTRY_BAD) {
            throw Failure("the entry of provider \"" + lineSafe(provider) +
                          "\" is damaged (`quillmark store provider list` shows it)");
        }
        throw Failure("no provider \"" + lineSafe(provider) +
                      "\" is registered; add it with `quillmark store provider add`");
    }
    const crypto::KeyProvInfo info{provider, crypto::PROV_RSA_FULL, container, crypto::AT_KEYEXCHANGE};
    const KeyStatus status = tokenKeyStatus(info);
    if (status.state != KeyState::OnToken) {
        throw Failure("key \"" + lineSafe(container) + "\" of provider \"" + lineSafe(provider) +
                      "\": " + keyStatusText(status) + "; nothing imported");
    }

    Stores stores;
    crypto::Store& my = stores.open("my");
    const CertPtr existing = findByDer(my, cert.der());
    refuseWhenKeyHeld(existing);
    const CertPtr stored = my.add(cert.der(), info);
    if (!stored) {
        throw Failure("cannot add " + subjectOf(cert) + " to store my: " + describeError(crypto::getLastError()));
    }
    out << "certificate " << lineSafe(stored->fileStem())
        << (existing ? " in store my now has its key" : " added to store my") << ": " << subjectOf(cert) << '\n';
    out << "key \"" << lineSafe(container) << "\" on the token of provider \"" << lineSafe(provider)
        << "\" (no key file written)\n";
}

// --- Subcommands -------------------------------------------------------------

void printCertificate(const crypto::Certificate& cert, std::ostream& out) {
    out << "  certificate " << lineSafe(cert.fileStem()) << '\n';
    out << "    subject      " << subjectOf(cert) << '\n';
    out << "    issuer       " << issuerOf(cert) << '\n';
    out << "    serial       " << serialForm(cert.serialNumber()) << '\n';
    out << "    valid from   " << timeText(cert.notBefore()) << " UTC\n";
    out << "    valid to     " << timeText(cert.notAfter()) << " UTC\n";
    const auto& info = cert.keyProvInfo();
    if (!info) {
        out << "    key          none\n";
        return;
    }
    out << "    key          provider \"" << lineSafe(info->providerName) << "\" (type " << info->providerType
        << "), container \"" << lineSafe(info->containerName) << "\", " << keySpecText(info->keySpec) << ": "
        << keyStatusText(keyStatus(*info)) << '\n';
}

void printCrl(const crypto::Crl& crl, std::ostream& out) {
    const STACK_OF(X509_REVOKED)* revoked = X509_CRL_get_REVOKED(crl.x509Crl());
    out << "  crl " << lineSafe(crl.fileStem()) << '\n';
    out << "    issuer       " << issuerOf(crl) << '\n';
    out << "    this update  " << timeText(crl.thisUpdateTime()) << " UTC\n";
    if (const auto next = crl.nextUpdateTime()) {
        out << "    next update  " << timeText(*next) << " UTC\n";
    } else {
        out << "    next update  none\n";
    }
    out << "    entries      " << std::max(sk_X509_REVOKED_num(revoked), 0) << '\n';
}

bool listStore(const std::string& name, std::ostream& out, std::ostream& err) {
    // Listing never creates a store: one that is not there is empty.
    if (!somethingAt(platform::context().home() / "stores" / name)) {
        out << "store " << name << "\n  empty\n";
        return true;
    }
    const auto store = crypto::Store::openSystem(name);
    if (!store) {
        err << "quillmark store: cannot open store " << name << ": " << describeError(crypto::getLastError()) << '\n';
        return false;
    }
    out << "store " << store->name() << '\n';
    if (store->certificates().empty() && store->crls().empty()) out << "  empty\n";
    for (const CertPtr& cert : store->certificates()) printCertificate(*cert, out);
    for (const CrlPtr& crl : store->crls()) printCrl(*crl, out);
    return true;
}

int listCommand(std::span<const std::string> words, std::ostream& out, std::ostream& err) {
    const Words parsed = parseWords(words, {}, 0, 1, LIST_USAGE);
    std::vector<std::string> names;
    if (!parsed.positional.empty()) {
        names.push_back(checkedStoreName(parsed.positional.front(), LIST_USAGE));
    } else {
        const fs::path folder = platform::context().home() / "stores";
        std::error_code error;
        for (fs::directory_iterator it(folder, error), end; !error && it != end; it.increment(error)) {
            const std::string name = it->path().filename().string();
            // Stores are folders named in lower case; anything else there is
            // not a store anyone can open.
            std::error_code ignored;
            if (it->is_directory(ignored) && name == asciiLower(name)) names.push_back(name);
        }
        if (error && error != std::errc::no_such_file_or_directory) {
            err << "quillmark store: cannot read " << folder.string() << ": " << error.message() << '\n';
            return EXIT_FAILED;
        }
        std::sort(names.begin(), names.end());
        if (names.empty()) {
            out << "no stores\n";
            return EXIT_OK;
        }
    }
    bool ok = true;
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out << '\n';
        ok = listStore(names[i], out, err) && ok;
    }
    return ok ? EXIT_OK : EXIT_FAILED;
}

int importCommand(std::span<const std::string> words, std::ostream& out) {
    const Words parsed =
        parseWords(words, {"--store", "--password", "--container", "--protect", "--provider"}, 1, 1, IMPORT_USAGE);
    ImportOptions options;
    if (const auto store = parsed.option("--store")) options.store = checkedStoreName(*store, IMPORT_USAGE);
    options.password = parsed.option("--password");
    options.container = parsed.option("--container");
    options.protect = parsed.option("--protect");
    options.provider = parsed.option("--provider");
    if (options.provider) {
        if (options.password || options.protect) {
            throw CommandLineError("--password and --protect do not apply with --provider: the key stays on the token",
                                   IMPORT_USAGE);
        }
        if (options.store) {
            throw CommandLineError("--store does not apply with --provider: a certificate with its key goes to store my",
                                   IMPORT_USAGE);
        }
        if (isSoftwareProvider(*options.provider)) {
            throw CommandLineError("\"" + lineSafe(*options.provider) +
                                       "\" is the software provider; import its keys from a PKCS #12 file",
                                   IMPORT_USAGE);
        }
        if (!options.container) {
            throw CommandLineError("--provider needs --container: the key's label (or id in hex) on the token",
                                   IMPORT_USAGE);
        }
        // A label goes into a line of the property file.
        if (!isTokenText(*options.container)) {
            throw CommandLineError("not a key label (UTF-8 text without control characters): " +
                                       lineSafe(*options.container),
                                   IMPORT_USAGE);
        }
    } else if (options.container && !isContainerName(*options.container)) {
        throw CommandLineError(
            "not a key container name (a plain folder name of UTF-8 text): " + lineSafe(*options.container),
            IMPORT_USAGE);
    }
    if (options.protect && options.protect->empty()) {
        throw CommandLineError("--protect needs a pass phrase", IMPORT_USAGE);
    }

    const std::string file = parsed.positional.front();
    const std::string contents = readImportFile(file);
    if (options.provider) {
        if (contents.find("-----BEGIN ") != std::string::npos) {
            importTokenCertificate(readPem(contents, file), options, file, out);
        } else if (CertPtr cert = crypto::Certificate::fromDer(contents)) {
            importTokenCertificate(Bundle{{std::move(cert)}, {}}, options, file, out);
        } else {
            throw InputError(file + " is not a certificate file (PEM or DER); --provider takes the certificate only");
        }
        return EXIT_OK;
    }
    if (contents.find("-----BEGIN ") != std::string::npos) {
        importBundle(readPem(contents, file), options, out);
    } else if (const auto p12 = decodePkcs12(contents)) {
        importPkcs12(p12.get(), options, file, out);
    } else if (CertPtr cert = crypto::Certificate::fromDer(contents)) {
        importBundle(Bundle{{std::move(cert)}, {}}, options, out);
    } else if (CrlPtr crl = crypto::Crl::fromDer(contents)) {
        importBundle(Bundle{{}, {std::move(crl)}}, options, out);
    } else {
        throw InputError(file + " is not a certificate, a CRL or a PKCS #12 file");
    }
    return EXIT_OK;
}

int removeCommand(std::span<const std::string> words, std::ostream& out) {
    const Words parsed = parseWords(words, {}, 2, 2, REMOVE_USAGE);
    const std::string name = checkedStoreName(parsed.positional[0], REMOVE_USAGE);
    const std::string& stem = parsed.positional[1];
    if (!somethingAt(platform::context().home() / "stores" / name)) throw Failure("there is no store " + name);
    const auto store = crypto::Store::openSystem(name);
    if (!store) throw Failure("cannot open store " + name + ": " + describeError(crypto::getLastError()));
    const auto& certificates = store->certificates();
    const auto found = std::find_if(certificates.begin(), certificates.end(),
                                    [&](const CertPtr& cert) { return cert->fileStem() == stem; });
    if (found == certificates.end()) {
        throw Failure("no certificate " + lineSafe(stem) + " in store " + name + " (`quillmark store list " + name +
                      "` shows the file stems)");
    }
    const CertPtr cert = *found;
    if (!store->remove(*cert)) {
        throw Failure("cannot remove " + lineSafe(stem) + " from store " + name + ": " +
                      describeError(crypto::getLastError()));
    }
    out << "certificate " << lineSafe(stem) << " removed from store " << name << ": " << subjectOf(*cert) << '\n';
    if (const auto& info = cert->keyProvInfo()) {
        out << "key container \"" << lineSafe(info->containerName)
            << "\" kept: removing a certificate never deletes its key\n";
    }
    return EXIT_OK;
}

// --- Providers -------------------------------------------------------------

// A provider name is one registry key name. The software provider's names
// never reach the registry, so an entry under one would never be used.
std::string checkedProviderName(const std::string& name, std::string_view usage) {
    if (!isTokenText(name) || name.find('\\') != std::string::npos) {
        throw CommandLineError("not a provider name (UTF-8 text without backslashes or control characters): " +
                                   lineSafe(name),
                               usage);
    }
    if (isSoftwareProvider(name)) {
        throw CommandLineError("\"" + name + "\" is the built-in software provider's name", usage);
    }
    return name;
}

std::string providerKeyPath(const std::string& name) { return std::string(PROVIDERS_KEY) + "\\" + name; }

std::string registryError(registry::LSTATUS status) {
    switch (status) {
        case registry::ERROR_ACCESS_DENIED: return "the registry is read-only";
        case registry::ERROR_REGISTRY_CORRUPT: return "the registry file is damaged";
        default: return "registry error " + std::to_string(status);
    }
}

int providerAddCommand(std::span<const std::string> words, std::ostream& out) {
    const Words parsed = parseWords(words, {"--module", "--slot", "--token"}, 1, 1, PROVIDER_ADD_USAGE);
    const std::string name = checkedProviderName(parsed.positional.front(), PROVIDER_ADD_USAGE);
    const auto module = parsed.option("--module");
    if (!module || module->empty()) throw CommandLineError("--module is needed", PROVIDER_ADD_USAGE);
    const auto slotText = parsed.option("--slot");
    const auto token = parsed.option("--token");
    if (slotText && token) throw CommandLineError("give --slot or --token, not both", PROVIDER_ADD_USAGE);
    std::optional<uint32_t> slot;
    if (slotText) {
        uint32_t value = 0;
        const char* end = slotText->data() + slotText->size();
        const auto [stop, error] = std::from_chars(slotText->data(), end, value);
        if (slotText->empty() || error != std::errc() || stop != end) {
            throw CommandLineError("--slot takes a slot number: " + lineSafe(*slotText), PROVIDER_ADD_USAGE);
        }
        slot = value;
    }
    if (token && (!isTokenText(*token) || token->size() > MAX_TOKEN_LABEL)) {
        throw CommandLineError("not a token label (1 to 32 bytes of UTF-8 text): " + lineSafe(*token),
                               PROVIDER_ADD_USAGE);
    }
    // The entry is read from any folder later: it keeps the module's full path.
    std::error_code error;
    const fs::path modulePath = fs::absolute(*module, error);
    if (error || !fs::is_regular_file(modulePath, error)) {
        throw InputError("no module file " + *module);
    }
    if (!isTokenText(modulePath.string())) {
        throw InputError("the module's path is not UTF-8 text: " + lineSafe(modulePath.string()));
    }

    registry::Hive& hive = platform::context().registry();
    registry::Key existing;
    if (hive.openKey(registry::Root::LocalMachine, providerKeyPath(name), registry::KEY_READ, existing) ==
        registry::ERROR_SUCCESS) {
        throw Failure("provider \"" + name + "\" is registered already; remove it first to change it");
    }
    registry::Key key;
    bool created = false;
    registry::LSTATUS status =
        hive.createKey(registry::Root::LocalMachine, providerKeyPath(name), registry::KEY_ALL_ACCESS, key, &created);
    if (status == registry::ERROR_SUCCESS && !created) {
        throw Failure("provider \"" + name + "\" was registered meanwhile; nothing changed");
    }
    if (status == registry::ERROR_SUCCESS) status = key.setString("Module", modulePath.string());
    if (status == registry::ERROR_SUCCESS && slot) status = key.setDword("Slot", *slot);
    if (status == registry::ERROR_SUCCESS && token) status = key.setString("Token", *token);
    if (status != registry::ERROR_SUCCESS) {
        // Half an entry would be a damaged one.
        if (created) hive.deleteKeyTree(registry::Root::LocalMachine, providerKeyPath(name));
        throw Failure("cannot register provider \"" + name + "\": " + registryError(status));
    }
    out << "provider \"" << name << "\" added: module " << modulePath.string();
    if (slot) out << ", slot " << *slot;
    if (token) out << ", token \"" << *token << '"';
    out << '\n';
    return EXIT_OK;
}

int providerListCommand(std::span<const std::string> words, std::ostream& out) {
    parseWords(words, {}, 0, 0, PROVIDER_LIST_USAGE);
    registry::Key key;
    std::vector<std::string> names;
    if (platform::context().registry().openKey(registry::Root::LocalMachine, PROVIDERS_KEY, registry::KEY_READ,
                                               key) == registry::ERROR_SUCCESS) {
        key.enumSubKeys(names);
    }
    if (names.empty()) {
        out << "no providers\n";
        return EXIT_OK;
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (i > 0) out << '\n';
        out << "provider \"" << lineSafe(names[i]) << "\"\n";
        const auto entry = crypto::findRegisteredProvider(names[i]);
        if (!entry) {
            out << "  entry damaged: it needs a Module text, and a Slot that is a number\n";
            continue;
        }
        out << "  module       " << lineSafe(entry->module) << '\n';
        out << "  slot         " << (entry->slot ? std::to_string(*entry->slot) : std::string("any")) << '\n';
        out << "  token        " << (entry->token ? '"' + lineSafe(*entry->token) + '"' : std::string("any")) << '\n';
    }
    return EXIT_OK;
}

int providerRemoveCommand(std::span<const std::string> words, std::ostream& out) {
    const Words parsed = parseWords(words, {}, 1, 1, PROVIDER_REMOVE_USAGE);
    const std::string name = checkedProviderName(parsed.positional.front(), PROVIDER_REMOVE_USAGE);
    const registry::LSTATUS status =
        platform::context().registry().deleteKeyTree(registry::Root::LocalMachine, providerKeyPath(name));
    if (status == registry::ERROR_FILE_NOT_FOUND) throw Failure("no provider \"" + name + "\" is registered");
    if (status != registry::ERROR_SUCCESS) {
        throw Failure("cannot remove provider \"" + name + "\": " + registryError(status));
    }
    out << "provider \"" << name << "\" removed\n";
    // Certificates are left alone; the user should know what they lost.
    if (somethingAt(platform::context().home() / "stores" / "my")) {
        if (const auto my = crypto::Store::openSystem("my")) {
            const auto naming = std::count_if(my->certificates().begin(), my->certificates().end(),
                                              [&](const CertPtr& cert) {
                                                  return cert->keyProvInfo() &&
                                                         asciiLower(cert->keyProvInfo()->providerName) ==
                                                             asciiLower(name);
                                              });
            if (naming > 0) {
                out << naming << " certificate(s) in store my still name it; their keys are out of reach until it "
                                 "is added again\n";
            }
        }
    }
    return EXIT_OK;
}

int providerCommand(std::span<const std::string> words, std::ostream& out) {
    if (words.empty()) throw CommandLineError("expected add, list or remove", PROVIDER_USAGE);
    const std::string& action = words.front();
    const auto rest = words.subspan(1);
    if (action == "add") return providerAddCommand(rest, out);
    if (action == "list") return providerListCommand(rest, out);
    if (action == "remove") return providerRemoveCommand(rest, out);
    throw CommandLineError("unknown store provider command " + action, PROVIDER_USAGE);
}

}  // namespace

int storeCommand(std::span<const std::string> words) {
    platform::Context context(platform::defaultHome(), ui::makeConsoleUserInterface());
    platform::ScopedContext scope(context);
    return runStoreCommand(words);
}

int runStoreCommand(std::span<const std::string> words) {
    try {
        if (words.empty()) throw CommandLineError("expected list, import, remove or provider", STORE_USAGE);
        const std::string& action = words.front();
        const auto rest = words.subspan(1);
        if (action != "list" && action != "import" && action != "remove" && action != "provider") {
            throw CommandLineError("unknown store command " + action, STORE_USAGE);
        }
        if (action == "list") return listCommand(rest, std::cout, std::cerr);
        if (action == "import") return importCommand(rest, std::cout);
        if (action == "provider") return providerCommand(rest, std::cout);
        return removeCommand(rest, std::cout);
    } catch (const CommandLineError& e) {
        std::cerr << "quillmark store: " << e.what() << "\nusage: quillmark " << e.usage() << '\n';
        return EXIT_USAGE;
    } catch (const InputError& e) {
        std::cerr << "quillmark store: " << e.what() << '\n';
        return EXIT_USAGE;
    } catch (const Failure& e) {
        std::cerr << "quillmark store: " << e.what() << '\n';
        return EXIT_FAILED;
    }
}

}  // namespace host
