// The two rules that name certificates by one DN text and run over a store:
// the existence match and the issuer-list match.
#pragma once

#include <string_view>
#include <vector>

#include "platform/crypto/store.h"

namespace qm {

// The existence match: candidates are the certificates whose subject holds
// the text's key value (or the whole text, when it has none of the CN=, OU=
// and O= markers) in any case; with a marker a candidate must also have
// exactly the comma-spaced text as its subject name string, without one any
// candidate will do. The first match in store order, or nullptr.
crypto::CertPtr findExistingCertificate(const crypto::Store& store, std::string_view dnText);

// The issuer-list match: the certificates of the store whose issuer name
// string equals the comma-spaced issuer text exactly, in store order.
std::vector<crypto::CertPtr> certificatesIssuedBy(const crypto::Store& store, std::string_view issuerText);

}  // namespace qm
