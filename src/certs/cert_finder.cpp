#include "certs/cert_finder.h"

#include <new>

#include "certs/cert_chooser.h"
#include "certs/cert_info.h"
#include "certs/cert_match.h"
#include "certs/partial_dn.h"
#include "control/state/boundary.h"
#include "control/state/codes.h"
#include "encoding/node_list.h"
#include "platform/crypto/errors.h"

namespace qm {

namespace {

constexpr std::string_view NO_SUBJECT = "没有主题";
constexpr std::string_view NO_ISSUER = "没有颁发者";
constexpr std::string_view NO_SUBJECT_INDEX = "没有主题索引";

// The text a candidate shows for one of its names: the key value of the
// name string, or the whole name string when it has none. A key value that
// is empty (a subject "CN=") counts as none; an empty item would leave the
// list without three items per candidate and the user with nothing to pick.
std::string keyText(const std::string& nameString) {
    DnKey key = dnKeyValue(nameString);
    if (!key.hasMarker() || key.value.empty()) return nameString;
    return std::move(key.value);
}

std::optional<std::string> nameString(const crypto::Certificate& cert, uint32_t type) {
    std::string text;
    if (GetCertField(&cert, type, text) != OK || text.empty()) return std::nullopt;
    return text;
}

// The three items of one candidate.
void appendCandidate(NodeList& list, const crypto::Certificate& cert, const std::optional<std::string>& subject) {
    const std::optional<std::string> issuer = nameString(cert, CERT_FIELD_ISSUER);
    list.append(subject ? keyText(*subject) : ansiFromUtf8(NO_SUBJECT));
    list.append(issuer ? keyText(*issuer) : ansiFromUtf8(NO_ISSUER));
    list.append(!cert.subjectDer().empty() ? std::string_view(cert.subjectDer()) : ansiFromUtf8(NO_SUBJECT_INDEX));
}

// The user chooses among the candidates; the choice is looked up again by
// its encoded subject name.
crypto::CertPtr choose(const StoreSet& stores, const NodeList& list, int32_t count, std::string_view promptUtf8) {
    CertChooser chooser(count, &list, std::string(promptUtf8));
    chooser.run();
    const int32_t index = chooser.chosenIndex();
    if (index < 0 || index > 3 * count) return nullptr;
    std::string_view encodedName;
    if (list.item(index, encodedName) != 0) return nullptr;
    return FindCertBySubjectName(stores, encodedName);
}

// Serial numbers are compared as the numbers they are: positive, so that a
// leading zero byte (which DER adds before a high first byte) does not
// matter either way; "A1B2" and "00A1B2" name the same certificate. Blobs
// are least significant byte first.
bool sameSerial(std::string_view a, std::string_view b) {
    while (!a.empty() && a.back() == '\0') a.remove_suffix(1);
    while (!b.empty() && b.back() == '\0') b.remove_suffix(1);
    return a == b;
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

crypto::CertPtr findByPartialDns(const StoreSet& stores, std::string_view list, std::string_view separator) {
    const std::vector<std::string> partialDns = splitPartialDns(list, separator);
    NodeList candidates;
    int32_t count = 0;
    for (const crypto::Store* store : stores) {
        if (!store) continue;
        for (const crypto::CertPtr& cert : store->certificates()) {
            const std::optional<std::string> subject = nameString(*cert, CERT_FIELD_SUBJECT);
            if (!subject || !matchesPartialDns(*subject, partialDns)) continue;
            appendCandidate(candidates, *cert, subject);
            ++count;
        }
    }
    if (count == 1) {
        std::string_view encodedName;
        if (candidates.item(2, encodedName) != 0) return nullptr;
        return FindCertBySubjectName(stores, encodedName);
    }
    return choose(stores, candidates, count, stores.size() == 1 ? PROMPT_SIGN : PROMPT_ENCRYPT);
}

crypto::CertPtr chooseAny(const StoreSet& stores, std::string_view promptUtf8) {
    NodeList candidates;
    int32_t count = 0;
    for (const crypto::Store* store : stores) {
        if (!store) continue;
        for (const crypto::CertPtr& cert : store->certificates()) {
            appendCandidate(candidates, *cert, nameString(*cert, CERT_FIELD_SUBJECT));
            ++count;
        }
    }
    return choose(stores, candidates, count, promptUtf8);
}

crypto::CertPtr findBySerial(const StoreSet& stores, std::string_view serialList, std::string_view issuerDn) {
    const std::vector<std::string> serials = readSerialList(serialList);
    NodeList candidates;
    int32_t count = 0;
    for (const crypto::Store* store : stores) {
        if (!store) continue;
        for (const crypto::CertPtr& cert : store->certificates()) {
            const std::string blob = cert->serialBlob();
            const std::optional<std::string> issuer = nameString(*cert, CERT_FIELD_ISSUER);
            bool hit = false;
            for (const std::string& serial : serials) {
                if (sameSerial(blob, serial) && issuer && issuerTextEquals(*issuer, issuerDn)) {
                    hit = true;
                    break;
                }
            }
            if (!hit) continue;
            // One serial number: the first hit is the answer.
            if (serials.size() == 1) return cert;
            appendCandidate(candidates, *cert, nameString(*cert, CERT_FIELD_SUBJECT));
            ++count;
        }
    }
    if (count == 0) return nullptr;
    if (count == 1) {
        std::string_view encodedName;
        if (candidates.item(2, encodedName) != 0) return nullptr;
        return FindCertBySubjectName(stores, encodedName);
    }
    return choose(stores, candidates, count, PROMPT_SIGN);
}

// The finders answer with a certificate or none, and none is all an engine
// learns, whatever the reason: a failed allocation is not told apart from
// a search that found nothing or a cancelled choice.
template <class Find>
crypto::CertPtr noneOnFailure(const StoreSet& stores, Find&& find) {
    if (stores.empty()) return nullptr;
    try {
        return find();
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace

crypto::CertPtr FindCertBySubjectName(const StoreSet& stores, std::string_view encodedName) {
    for (const crypto::Store* store : stores) {
        if (!store) continue;
        if (crypto::CertPtr found = store->findBySubjectName(encodedName)) return found;
    }
    return nullptr;
}

crypto::CertPtr FindCertByPartialDns(const StoreSet& stores, std::string_view list, std::string_view separator) {
    return noneOnFailure(stores, [&] { return findByPartialDns(stores, list, separator); });
}

crypto::CertPtr ChooseAnyCert(const StoreSet& stores, std::string_view promptUtf8) {
    return noneOnFailure(stores, [&] { return chooseAny(stores, promptUtf8); });
}

crypto::CertPtr FindCertBySerial(const StoreSet& stores, std::string_view serialList, std::string_view issuerDn) {
    return noneOnFailure(stores, [&] { return findBySerial(stores, serialList, issuerDn); });
}

std::vector<std::string> readSerialList(std::string_view text) {
    std::vector<std::string> serials;
    size_t start = 0;
    while (start <= text.size() && serials.size() < MAX_SERIALS) {
        size_t end = text.find(' ', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view piece = text.substr(start, end - start);
        start = end + 1;
        if (piece.empty() || piece.size() % 2 != 0) continue;
        std::string blob;
        bool valid = true;
        for (size_t i = 0; i < piece.size(); i += 2) {
            const int high = hexDigit(piece[i]);
            const int low = hexDigit(piece[i + 1]);
            if (high < 0 || low < 0) {
                valid = false;
                break;
            }
            blob.push_back(static_cast<char>(high * 16 + low));
        }
        if (!valid) continue;
        serials.emplace_back(blob.rbegin(), blob.rend());
    }
    return serials;
}

int32_t acquireDefaultProvider(std::string_view providerName, std::unique_ptr<crypto::ProviderContext>& provider) {
    provider = crypto::ProviderContext::acquire(std::nullopt, providerName, crypto::PROV_RSA_FULL,
                                                crypto::CRYPT_NEWKEYSET);
    if (provider) return OK;
    if (crypto::getLastError() != crypto::NTE_EXISTS) return OK;  // go on without a handle
    // The container is there: open it as it is, never re-creating or
    // emptying it.
    provider = crypto::ProviderContext::acquire(std::nullopt, providerName, crypto::PROV_RSA_FULL, 0);
    return provider ? OK : ERR_PROVIDER;
}

int32_t CertExists(const Text& dn) {
    std::unique_ptr<crypto::ProviderContext> provider;
    if (acquireDefaultProvider(crypto::MS_ENHANCED_PROV, provider) != OK) return ERR_PROVIDER;
    const std::unique_ptr<crypto::Store> store = crypto::Store::openSystem("MY");
    if (!store) return ERR_STORE;
    if (!dn) return 0;
    return findExistingCertificate(*store, *dn) ? 1 : 0;
}

void CollectSubjectsByIssuer(const StoreSet& stores, std::string_view issuerDn, std::vector<std::string>& subjects) {
    for (const crypto::Store* store : stores) {
        if (!store) continue;
        for (const crypto::CertPtr& cert : certificatesIssuedBy(*store, issuerDn)) {
            if (std::optional<std::string> subject = nameString(*cert, CERT_FIELD_SUBJECT)) {
                subjects.push_back(std::move(*subject));
            }
        }
    }
}

namespace members {

HRESULT IsCertExists(ControlState& /*state*/, BSTR dn, uint32_t* pdwRet) {
    if (!pdwRet) return E_POINTER;
    *pdwRet = 0;
    if (!dn) return S_OK;
    try {
        // Negative codes go out as they are, read as unsigned.
        *pdwRet = static_cast<uint32_t>(CertExists(toAnsi(dn)));
    } catch (const std::bad_alloc&) {
        *pdwRet = static_cast<uint32_t>(ERR_NO_MEMORY);
    }
    return S_OK;
}

HRESULT QMEnumCertsDNByIssers(ControlState& state, BSTR issersDN, BSTR* certsDN) {
    if (!certsDN) return E_POINTER;
    *certsDN = nullptr;
    try {
        const Text issuers = toAnsi(issersDN);
        // This member reports only a store it cannot open, and leaves
        // errorNum and errMsg alone otherwise.
        if (!issuers) return S_FALSE;
        const std::unique_ptr<crypto::Store> store = crypto::Store::openSystem("MY");
        if (!store) {
            state.errorNum = -1;
            return S_FALSE;
        }
        const StoreSet stores{store.get()};
        std::vector<std::string> subjects;
        size_t start = 0;
        while (true) {
            const size_t end = issuers->find(';', start);
            CollectSubjectsByIssuer(stores, std::string_view(*issuers).substr(start, end - start), subjects);
            if (end == std::string::npos) break;
            start = end + 1;
        }
        std::string joined;
        for (size_t i = 0; i < subjects.size(); ++i) {
            if (i > 0) joined.push_back(';');
            joined += subjects[i];
        }
        *certsDN = toWide(joined).detach();
    } catch (const std::bad_alloc&) {
        *certsDN = nullptr;
        return S_FALSE;
    }
    return S_OK;
}

}  // namespace members

}  // namespace qm
