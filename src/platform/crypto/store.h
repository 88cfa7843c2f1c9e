// Certificate stores: the current user's system stores, one folder each
// under the home (`stores/<name>/`, the name in lower case).
//
// A store is read once, when it is opened; certificates() and crls() are
// that snapshot, kept up to date with what this object adds and removes, but
// not with what other processes (or other Store objects) write meanwhile.
// Open the store again to see those.
//
// Files in the folder:
//   *.cer *.crt *.pem  one certificate each. Tools write DER to .cer; the
//                      content decides how a file is read (a first byte of
//                      0x30 is DER, anything else PEM), because users drop
//                      Base64 .cer files in as often as DER ones. A PEM file
//                      counts for its first certificate.
//   *.crl              one revocation list, DER or PEM alike.
//   <stem>.keyprov     the key-provider property of the certificate with
//                      that stem (see certificate.h for the format).
// Other files and folders are ignored; a file that does not parse, cannot be
// read, or is larger than 64 MiB is skipped. Enumeration follows the byte
// order of the file names.
//
// A Store is used from one thread at a time. Its certificates are immutable
// and may be shared with any thread.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/crypto/certificate.h"

namespace crypto {

class Store {
public:
    // The current user's system store `name` ("my", "ca", "root",
    // "addressbook"; compared without regard to ASCII case) in the home of
    // platform::context(). A store that does not exist yet is created empty.
    // nullptr with a last error when it cannot be opened or created:
    // E_INVALIDARG for a name that is empty or is not a plain file name,
    // E_ACCESSDENIED when permissions forbid it, ERROR_PATH_NOT_FOUND when
    // something other than a folder stands where the store should be.
    static std::unique_ptr<Store> openSystem(std::string_view name);

    const std::string& name() const { return name_; }
    const std::filesystem::path& folder() const { return folder_; }

    const std::vector<CertPtr>& certificates() const { return certificates_; }
    const std::vector<CrlPtr>& crls() const { return crls_; }

    // Finding, as the platform's find function does: each search starts
    // after `previous` (nullptr: from the start) and answers the next
    // certificate that matches, or nullptr with last error
    // CRYPT_E_NOT_FOUND. `previous` is a certificate this store handed out
    // (or one loaded from the same file by another Store object); anything
    // else gives nullptr with E_INVALIDARG.
    //
    // The subject name's DER, byte for byte.
    CertPtr findBySubjectName(std::string_view encodedName, const Certificate* previous = nullptr) const;
    // A case-insensitive substring of the simple string of the subject (or
    // the issuer). Both sides are compared in UTF-16 after the same case
    // folding (ASCII, Latin-1, Greek, Cyrillic and full-width Latin letters;
    // Chinese has no case), so the search does not depend on the ANSI code
    // page. Empty text matches every certificate.
    CertPtr findBySubjectString(std::u16string_view text, const Certificate* previous = nullptr) const;
    CertPtr findByIssuerString(std::u16string_view text, const Certificate* previous = nullptr) const;
    // The first certificate whose subject DER equals the issuer DER of
    // `cert` (the certificate itself, for a self-signed one in this store).
    CertPtr findIssuerOf(const Certificate& cert) const;
    // The certificate with this issuer DER and serial number (content bytes,
    // most significant first, compared as integers with compareIntegerBlob),
    // as enveloped messages name their recipients.
    CertPtr findByIssuerAndSerial(std::string_view issuerDer, std::string_view serialNumber) const;

    // Writing, for tools and tests.
    //
    // Adds a certificate (DER) with an optional key-provider property and
    // answers the stored context. The file is named `NNNN-<label>.cer`, NNNN
    // one more than the highest number prefix in the folder (at least four
    // digits), so that the order of the files is the order of adding, and
    // the label is the certificate's display name reduced to [A-Za-z0-9._-].
    // A certificate whose DER the store holds already is not added twice:
    // its property is replaced when one is given (left alone otherwise) and
    // the existing context is answered. nullptr with CRYPT_E_OSS_ERROR for
    // bytes that are not a certificate, E_INVALIDARG for a property that
    // cannot be written (see isWritableKeyProvInfo), or a file-system code.
    CertPtr add(std::string_view der, const std::optional<KeyProvInfo>& keyProvInfo = std::nullopt);
    // Adds a revocation list (DER). The store keeps one list per issuer: a
    // list whose issuer the store has a list for already replaces that one
    // in its file, unless the stored one is newer (a later thisUpdate), and
    // then nothing changes and the answer is nullptr with CRYPT_E_EXISTS.
    CrlPtr addCrl(std::string_view der);
    // Removes the certificate's file and its properties; its key container is
    // never touched. False with CRYPT_E_NOT_FOUND when the certificate is not
    // in this store, or a file-system code when the file cannot be removed.
    bool remove(const Certificate& cert);

private:
    Store(std::string name, std::filesystem::path folder);
    bool load();
    // The snapshot index after `previous`; nullopt when `previous` is not
    // ours.
    std::optional<size_t> startAfter(const Certificate* previous) const;
    std::string nextFileName(std::string_view label, std::string_view extension) const;

    std::string name_;
    std::filesystem::path folder_;
    std::vector<CertPtr> certificates_;
    std::vector<CrlPtr> crls_;
};

}  // namespace crypto
