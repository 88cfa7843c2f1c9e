#include "platform/crypto/store.h"

#include <unistd.h>

#include <algorithm>
#include <system_error>

#include "platform/context/context.h"
#include "platform/crypto/errors.h"
#include "platform/crypto/names.h"
#include "platform/files/files.h"

namespace crypto {
namespace {

constexpr uintmax_t MAX_FILE_SIZE = 64u * 1024 * 1024;
constexpr size_t MAX_LABEL = 40;

char asciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = asciiLower(c);
    return out;
}

char16_t foldCase(char16_t c) {
    if ((c >= u'A' && c <= u'Z') || (c >= 0x00C0 && c <= 0x00DE && c != 0x00D7)) return static_cast<char16_t>(c + 0x20);
    if (c >= 0x0391 && c <= 0x03A9 && c != 0x03A2) return static_cast<char16_t>(c + 0x20);  // Greek
    if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 0x20);                  // Cyrillic
    if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 0x50);
    if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);  // full-width Latin
    return c;
}

std::u16string foldCase(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out) c = foldCase(c);
    return out;
}

uint32_t errorFromFileSystem(const std::error_code& error, uint32_t fallback) {
    if (error == std::errc::permission_denied || error == std::errc::operation_not_permitted ||
        error == std::errc::read_only_file_system) {
        return E_ACCESSDENIED;
    }
    if (error == std::errc::not_enough_memory) return NTE_NO_MEMORY;
    if (error == std::errc::no_such_file_or_directory || error == std::errc::not_a_directory ||
        error == std::errc::file_exists || error == std::errc::is_a_directory) {
        return ERROR_PATH_NOT_FOUND;
    }
    return fallback;
}

std::error_code errnoCode() { return {errno, std::generic_category()}; }

// Writes beside the target and renames, so that a reader of the folder sees
// the old file or the new one, never half of one.
std::error_code writeAtomically(const std::filesystem::path& target, std::string_view contents) {
    const std::filesystem::path temporary =
        target.parent_path() / ("." + target.filename().string() + "." + std::to_string(::getpid()) + ".tmp");
    if (!files::writeWholeFile(temporary, contents)) {
        std::error_code error = errnoCode();
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
        return error ? error : std::make_error_code(std::errc::io_error);
    }
    std::error_code error;
    std::filesystem::rename(temporary, target, error);
    if (error) {
        std::error_code ignored;
        std::filesystem::remove(temporary, ignored);
    }
    return error;
}

std::optional<std::string> readSmallFile(const std::filesystem::directory_entry& entry) {
    std::error_code error;
    if (!entry.is_regular_file(error) || entry.file_size(error) > MAX_FILE_SIZE || error) return std::nullopt;
    std::string contents;
    if (files::readWholeFile(entry.path(), contents) != files::ReadResult::Ok) return std::nullopt;
    return contents;
}

bool looksLikeDer(std::string_view bytes) { return !bytes.empty() && static_cast<uint8_t>(bytes.front()) == 0x30; }

std::string extensionOf(const std::filesystem::path& path) { return asciiLower(path.extension().string()); }

bool isCertificateFile(const std::filesystem::path& path) {
    const std::string extension = extensionOf(path);
    return extension == ".cer" || extension == ".crt" || extension == ".pem";
}

std::filesystem::path keyProvFileOf(const std::filesystem::path& certificateFile) {
    std::filesystem::path file = certificateFile;
    file.replace_extension(".keyprov");
    return file;
}

std::optional<KeyProvInfo> readKeyProvInfo(const std::filesystem::path& certificateFile) {
    std::string text;
    if (files::readWholeFile(keyProvFileOf(certificateFile), text) != files::ReadResult::Ok) return std::nullopt;
    return parseKeyProvInfo(text);
}

// The number prefix of a file name ("0012-x.cer" gives 12).
std::optional<unsigned long> numberPrefix(std::string_view fileName) {
    size_t digits = 0;
    while (digits < fileName.size() && digits < 9 && fileName[digits] >= '0' && fileName[digits] <= '9') ++digits;
    if (digits == 0 || digits >= fileName.size() || fileName[digits] != '-') return std::nullopt;
    return std::stoul(std::string(fileName.substr(0, digits)));
}

std::string fileLabel(std::u16string_view displayName) {
    std::string label;
    for (const char16_t c : displayName) {
        if (label.size() == MAX_LABEL) break;
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9') ||
                           c == u'.' || c == u'_' || c == u'-';
        label += plain ? static_cast<char>(c) : '_';
    }
    // A leading dot would hide the file, as our temporary files are hidden.
    if (!label.empty() && label.front() == '.') label.front() = '_';
    return label.empty() ? "unnamed" : label;
}

bool byFileName(const std::filesystem::path& a, const std::filesystem::path& b) {
    return a.filename().string() < b.filename().string();
}

template <typename Ptr>
void insertByFileName(std::vector<Ptr>& list, Ptr item) {
    const auto at = std::upper_bound(list.begin(), list.end(), item,
                                     [](const Ptr& x, const Ptr& y) { return byFileName(x->file(), y->file()); });
    list.insert(at, std::move(item));
}

}  // namespace

Store::Store(std::string name, std::filesystem::path folder) : name_(std::move(name)), folder_(std::move(folder)) {}

std::unique_ptr<Store> Store::openSystem(std::string_view name) {
    CallScope scope;
    if (!files::isPlainFileName(name)) {
        setLastError(E_INVALIDARG);
        return nullptr;
    }
    std::string lower = asciiLower(name);
    std::filesystem::path folder = platform::context().home() / "stores" / lower;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder, error)) {
        setLastError(errorFromFileSystem(error, ERROR_PATH_NOT_FOUND));
        return nullptr;
    }
    std::unique_ptr<Store> store(new Store(std::move(lower), std::move(folder)));
    if (!store->load()) return nullptr;
    return store;
}

bool Store::load() {
    std::error_code error;
    std::vector<std::filesystem::directory_entry> entries;
    for (std::filesystem::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        entries.push_back(*it);
    }
    if (error) {
        setLastError(errorFromFileSystem(error, ERROR_PATH_NOT_FOUND));
        return false;
    }
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return byFileName(a.path(), b.path()); });

    // Files we skip leave their parse error behind; a successful open
    // should not.
    const uint32_t lastError = getLastError();
    for (const auto& entry : entries) {
        const std::filesystem::path& file = entry.path();
        const bool certificate = isCertificateFile(file);
        if (!certificate && extensionOf(file) != ".crl") continue;
        const auto contents = readSmallFile(entry);
        if (!contents) continue;
        if (certificate) {
            const CertPtr cert = looksLikeDer(*contents) ? Certificate::fromDer(*contents) : Certificate::fromPem(*contents);
            if (cert) certificates_.push_back(cert->withOrigin(name_, file, readKeyProvInfo(file)));
        } else {
            const CrlPtr crl = looksLikeDer(*contents) ? Crl::fromDer(*contents) : Crl::fromPem(*contents);
            if (crl) crls_.push_back(crl->withOrigin(name_, file));
        }
    }
    setLastError(lastError);
    return true;
}

std::optional<size_t> Store::startAfter(const Certificate* previous) const {
    if (previous == nullptr) return 0;
    for (size_t i = 0; i < certificates_.size(); ++i) {
        if (certificates_[i].get() == previous) return i + 1;
    }
    // A context from another Store object over the same folder.
    if (previous->storeName() == name_ && !previous->file().empty()) {
        for (size_t i = 0; i < certificates_.size(); ++i) {
            if (certificates_[i]->file() == previous->file()) return i + 1;
        }
    }
    return std::nullopt;
}

namespace {

template <typename Match>
CertPtr findFrom(const std::vector<CertPtr>& certificates, std::optional<size_t> start, Match match) {
    if (!start) {
        setLastError(E_INVALIDARG);
        return nullptr;
    }
    for (size_t i = *start; i < certificates.size(); ++i) {
        if (match(*certificates[i])) return certificates[i];
    }
    setLastError(CRYPT_E_NOT_FOUND);
    return nullptr;
}

}  // namespace

CertPtr Store::findBySubjectName(std::string_view encodedName, const Certificate* previous) const {
    CallScope scope;
    return findFrom(certificates_, startAfter(previous),
                    [&](const Certificate& cert) { return cert.subjectDer() == encodedName; });
}

CertPtr Store::findBySubjectString(std::u16string_view text, const Certificate* previous) const {
    CallScope scope;
    const std::u16string wanted = foldCase(text);
    return findFrom(certificates_, startAfter(previous), [&](const Certificate& cert) {
        const auto name = simpleStringWide(X509_get_subject_name(cert.x509()));
        return name && foldCase(*name).find(wanted) != std::u16string::npos;
    });
}

CertPtr Store::findByIssuerString(std::u16string_view text, const Certificate* previous) const {
    CallScope scope;
    const std::u16string wanted = foldCase(text);
    return findFrom(certificates_, startAfter(previous), [&](const Certificate& cert) {
        const auto name = simpleStringWide(X509_get_issuer_name(cert.x509()));
        return name && foldCase(*name).find(wanted) != std::u16string::npos;
    });
}

CertPtr Store::findIssuerOf(const Certificate& cert) const {
    CallScope scope;
    return findFrom(certificates_, size_t{0}, [&](const Certificate& candidate) { return candidate.subjectDer() == cert.issuerDer(); });
}

CertPtr Store::findByIssuerAndSerial(std::string_view issuerDer, std::string_view serialNumber) const {
    CallScope scope;
    const std::string wantedBlob(serialNumber.rbegin(), serialNumber.rend());
    return findFrom(certificates_, size_t{0}, [&](const Certificate& cert) {
        return cert.issuerDer() == issuerDer && compareIntegerBlob(cert.serialBlob(), wantedBlob);
    });
}

std::string Store::nextFileName(std::string_view label, std::string_view extension) const {
    unsigned long highest = 0;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder_, error), end; !error && it != end; it.increment(error)) {
        const std::string fileName = it->path().filename().string();
        if (const auto number = numberPrefix(fileName)) highest = std::max(highest, *number);
    }
    for (unsigned long number = highest + 1;; ++number) {
        std::string prefix = std::to_string(number);
        if (prefix.size() < 4) prefix.insert(0, 4 - prefix.size(), '0');
        std::string fileName = prefix + "-" + std::string(label) + std::string(extension);
        if (!std::filesystem::exists(folder_ / fileName, error)) return fileName;
    }
}

CertPtr Store::add(std::string_view der, const std::optional<KeyProvInfo>& keyProvInfo) {
    CallScope scope;
    const CertPtr parsed = Certificate::fromDer(der);
    if (!parsed) return nullptr;
    if (keyProvInfo && !isWritableKeyProvInfo(*keyProvInfo)) {
        setLastError(E_INVALIDARG);
        return nullptr;
    }

    auto existing = std::find_if(certificates_.begin(), certificates_.end(),
                                 [&](const CertPtr& cert) { return cert->der() == parsed->der(); });
    const std::filesystem::path file =
        existing != certificates_.end()
            ? (*existing)->file()
            : folder_ / nextFileName(fileLabel(simpleDisplayNameWide(*parsed, false)), ".cer");
    if (existing != certificates_.end() && !keyProvInfo) return *existing;

    // The property goes first: a reader that sees the certificate file
    // sees its property with it.
    if (keyProvInfo) {
        if (const auto error = writeAtomically(keyProvFileOf(file), formatKeyProvInfo(*keyProvInfo))) {
            setLastError(errorFromFileSystem(error, E_ACCESSDENIED));
            return nullptr;
        }
    }
    if (existing != certificates_.end()) {
        *existing = parsed->withOrigin(name_, file, keyProvInfo);
        return *existing;
    }
    if (const auto error = writeAtomically(file, parsed->der())) {
        std::error_code ignored;
        if (keyProvInfo) std::filesystem::remove(keyProvFileOf(file), ignored);
        setLastError(errorFromFileSystem(error, E_ACCESSDENIED));
        return nullptr;
    }
    CertPtr stored = parsed->withOrigin(name_, file, keyProvInfo);
    insertByFileName(certificates_, stored);
    return stored;
}

CrlPtr Store::addCrl(std::string_view der) {
    CallScope scope;
    const CrlPtr parsed = Crl::fromDer(der);
    if (!parsed) return nullptr;

    auto existing = std::find_if(crls_.begin(), crls_.end(),
                                 [&](const CrlPtr& crl) { return crl->issuerDer() == parsed->issuerDer(); });
    if (existing != crls_.end()) {
        if ((*existing)->thisUpdateTime() > parsed->thisUpdateTime()) {
            setLastError(CRYPT_E_EXISTS);
            return nullptr;
        }
        const std::filesystem::path file = (*existing)->file();
        if (const auto error = writeAtomically(file, parsed->der())) {
            setLastError(errorFromFileSystem(error, E_ACCESSDENIED));
            return nullptr;
        }
        *existing = parsed->withOrigin(name_, file);
        return *existing;
    }

    const std::filesystem::path file =
        folder_ / nextFileName(fileLabel(simpleDisplayNameWide(X509_CRL_get_issuer(parsed->x509Crl()))), ".crl");
    if (const auto error = writeAtomically(file, parsed->der())) {
        setLastError(errorFromFileSystem(error, E_ACCESSDENIED));
        return nullptr;
    }
    CrlPtr stored = parsed->withOrigin(name_, file);
    insertByFileName(crls_, stored);
    return stored;
}

bool Store::remove(const Certificate& cert) {
    CallScope scope;
    auto found = std::find_if(certificates_.begin(), certificates_.end(), [&](const CertPtr& candidate) {
        return candidate.get() == &cert || (!cert.file().empty() && candidate->file() == cert.file());
    });
    if (found == certificates_.end()) {
        setLastError(CRYPT_E_NOT_FOUND);
        return false;
    }
    const std::filesystem::path file = (*found)->file();
    std::error_code error;
    if (!std::filesystem::remove(file, error) && error) {
        setLastError(errorFromFileSystem(error, E_ACCESSDENIED));
        return false;
    }
    std::filesystem::remove(keyProvFileOf(file), error);
    certificates_.erase(found);
    return true;
}

}  // namespace crypto
