// Turning the text a page names a certificate by into one certificate of
// open stores: by partial-DN list, by serial number and issuer, or by the
// user's choice among all. Where the text does not single out exactly one
// certificate the user chooses in dialog 203. The finders never look at
// keys, validity or key usage.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/state/control_state.h"
#include "platform/crypto/provider.h"
#include "platform/crypto/store.h"

namespace qm {

// Stores searched in order, and within a store in enumeration order.
using StoreSet = std::vector<const crypto::Store*>;

inline constexpr std::string_view PROMPT_SIGN = "请选择签名用的证书";
inline constexpr std::string_view PROMPT_ENCRYPT = "请选择加密用的证书";

// At most this many serial numbers are read from a list; the rest are
// ignored.
constexpr size_t MAX_SERIALS = 20;

crypto::CertPtr FindCertByPartialDns(const StoreSet& stores, std::string_view list, std::string_view separator);
crypto::CertPtr ChooseAnyCert(const StoreSet& stores, std::string_view promptUtf8);
crypto::CertPtr FindCertBySerial(const StoreSet& stores, std::string_view serialList, std::string_view issuerDn);
crypto::CertPtr FindCertBySubjectName(const StoreSet& stores, std::string_view encodedName);

// The serial numbers of a list: pieces cut at spaces, each hex, most
// significant byte first; odd-length pieces and pieces with other
// characters are ignored. Returned least significant byte first, the
// platform's integer order.
std::vector<std::string> readSerialList(std::string_view text);

// The provider handle the engines ask for before they open stores: the
// given provider's default key container, created when missing. When it
// exists already, a handle on it is taken without touching its keys; only
// when none can be had then is the answer ERR_PROVIDER. Any other failure
// leaves no handle and is not an error.
int32_t acquireDefaultProvider(std::string_view providerName, std::unique_ptr<crypto::ProviderContext>& provider);

// 1 when a certificate of "MY" matches the DN text (the existence match),
// 0 when none does or there is no text, ERR_PROVIDER, or ERR_STORE.
int32_t CertExists(const Text& dn);

// Appends the subject name strings of the certificates issued by one
// issuer DN text (the issuer-list match).
void CollectSubjectsByIssuer(const StoreSet& stores, std::string_view issuerDn, std::vector<std::string>& subjects);

namespace members {

HRESULT IsCertExists(ControlState& state, BSTR dn, uint32_t* pdwRet);
HRESULT QMEnumCertsDNByIssers(ControlState& state, BSTR issersDN, BSTR* certsDN);

}  // namespace members

}  // namespace qm
