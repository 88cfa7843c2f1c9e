#include "certs/cert_match.h"

#include "certs/cert_info.h"
#include "certs/partial_dn.h"
#include "control/state/codes.h"
#include "platform/codepage/codepage.h"

namespace qm {

crypto::CertPtr findExistingCertificate(const crypto::Store& store, std::string_view dnText) {
    const DnKey key = dnKeyValue(dnText);
    const std::u16string search = codepage::wideFromAnsi(key.value);
    const std::string wanted = key.hasMarker() ? normalizeDnText(dnText) : std::string();
    const crypto::Certificate* previous = nullptr;
    while (crypto::CertPtr candidate = store.findBySubjectString(search, previous)) {
        if (!key.hasMarker()) return candidate;
        std::string subject;
        if (GetCertField(candidate.get(), CERT_FIELD_SUBJECT, subject) == OK && subject == wanted) return candidate;
        previous = candidate.get();
    }
    return nullptr;
}

std::vector<crypto::CertPtr> certificatesIssuedBy(const crypto::Store& store, std::string_view issuerText) {
    const DnKey key = dnKeyValue(issuerText);
    const std::u16string search = codepage::wideFromAnsi(key.value);
    std::vector<crypto::CertPtr> issued;
    const crypto::Certificate* previous = nullptr;
    while (crypto::CertPtr candidate = store.findByIssuerString(search, previous)) {
        std::string issuer;
        if (GetCertField(candidate.get(), CERT_FIELD_ISSUER, issuer) == OK && issuerTextEquals(issuer, issuerText)) {
            issued.push_back(candidate);
        }
        previous = candidate.get();
    }
    return issued;
}

}  // namespace qm
