#include "control/kestrin_quillmark.h"

#include <new>

#include "control/dispatch_table.h"
#include "certs/cert_finder.h"
#include "certs/cert_info.h"
#include "control/module.h"
#include "control/state/accessors.h"
#include "encoding/encoding_members.h"
#include "legacy/legacy_signing.h"
#include "legacy/legacy_verification.h"
#include "legacy/staging.h"
#include "messages/envelopes.h"
#include "messages/signing.h"
#include "messages/verification.h"
#include "package/package_members.h"
#include "token/token_members.h"

namespace qm {

KestrinQuillmark::KestrinQuillmark() {
    // The settings first: a constructor that throws never reaches the
    // destructor, and a lock taken before the throw would keep the module
    // loaded for good.
    loadSettings(state_);
    lockModule();
}

KestrinQuillmark::~KestrinQuillmark() { unlockModule(); }

HRESULT KestrinQuillmark::create(IUnknown* outer, const IID& riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;
    KestrinQuillmark* created = nullptr;
    try {
        created = new KestrinQuillmark();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    const HRESULT hr = created->QueryInterface(riid, object);
    created->Release();
    return hr;
}

// --- IUnknown ------------------------------------------------------------------

HRESULT KestrinQuillmark::QueryInterface(const IID& riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IKestrinQuillmark) {
        *object = static_cast<IKestrinQuillmark*>(this);
    } else if (riid == IID_IObjectSafety) {
        *object = static_cast<IObjectSafety*>(this);
    } else if (riid == IID_IQuillmarkView) {
        *object = static_cast<IQuillmarkView*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

uint32_t KestrinQuillmark::AddRef() { return ++refs_; }

uint32_t KestrinQuillmark::Release() {
    const uint32_t left = --refs_;
    if (left == 0) delete this;
    return left;
}

// --- IDispatch -------------------------------------------------------------------

HRESULT KestrinQuillmark::GetTypeInfoCount(uint32_t* count) {
    if (!count) return E_POINTER;
    // The type library is described, not compiled: there is no ITypeInfo.
    *count = 0;
    return S_OK;
}

HRESULT KestrinQuillmark::GetTypeInfo(uint32_t /*index*/, LCID /*lcid*/, ITypeInfo** info) {
    if (info) *info = nullptr;
    return DISP_E_BADINDEX;
}

// The member table and the converted arguments are allocated; running out
// of memory there is an answer to the caller, never an exception that
// crosses the interface.
HRESULT KestrinQuillmark::GetIDsOfNames(const IID& riid, LPOLESTR* names, uint32_t count, LCID /*lcid*/,
                                        DISPID* ids) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    if (!names && count > 0) return E_POINTER;
    try {
        return getIDsOfNames(std::span<const LPOLESTR>(names, count), ids);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT KestrinQuillmark::Invoke(DISPID id, const IID& riid, LCID /*lcid*/, uint16_t flags, DISPPARAMS* params,
                                 VARIANT* result, EXCEPINFO* exception, uint32_t* argError) {
    if (riid != IID_NULL) return DISP_E_UNKNOWNINTERFACE;
    try {
        return invokeMember(this, id, flags, params, result, exception, argError);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

// --- IObjectSafety -----------------------------------------------------------------

namespace {

constexpr uint32_t SAFETY_SUPPORTED = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;

bool isOurInterface(const IID& riid) {
    return riid == IID_IUnknown || riid == IID_IDispatch || riid == IID_IKestrinQuillmark ||
           riid == IID_IObjectSafety || riid == IID_IQuillmarkView;
}

}  // namespace

HRESULT KestrinQuillmark::GetInterfaceSafetyOptions(const IID& riid, uint32_t* supported, uint32_t* enabled) {
    if (!supported || !enabled) return E_POINTER;
    if (!isOurInterface(riid)) {
        *supported = 0;
        *enabled = 0;
        return E_NOINTERFACE;
    }
    *supported = SAFETY_SUPPORTED;
    *enabled = safetyOptions_;
    return S_OK;
}

HRESULT KestrinQuillmark::SetInterfaceSafetyOptions(const IID& riid, uint32_t mask, uint32_t /*enabled*/) {
    if (!isOurInterface(riid)) return E_NOINTERFACE;
    if (mask & ~SAFETY_SUPPORTED) return E_FAIL;
    // The control is safe in both respects whatever the caller enables: the
    // options named in the mask are reported as enabled from now on.
    safetyOptions_ = mask;
    return S_OK;
}

// --- IQuillmarkView ------------------------------------------------------------------

HRESULT KestrinQuillmark::Draw(ui::Canvas* canvas, const ui::Rect* bounds) {
    if (!canvas || !bounds) return E_POINTER;
    canvas->rectangle(*bounds);
    canvas->setTextAlign(ui::TA_CENTER | ui::TA_BASELINE);
    canvas->textOut((bounds->left + bounds->right) / 2, (bounds->top + bounds->bottom) / 2,
                    "Welcome to KestrinQuillmark");
    return S_OK;
}

// --- Members ---------------------------------------------------------------------------

HRESULT KestrinQuillmark::makeAttachedSign() { return members::makeAttachedSign(state_); }
HRESULT KestrinQuillmark::get_attachedSign(BSTR* pVal) { return members::getAttachedSign(state_, pVal); }
HRESULT KestrinQuillmark::get_detachedSign(BSTR* pVal) { return members::getDetachedSign(state_, pVal); }
HRESULT KestrinQuillmark::addFormItem(BSTR formItem) { return members::addFormItem(state_, formItem); }
HRESULT KestrinQuillmark::addFileName(BSTR fileName) { return members::addFileName(state_, fileName); }
HRESULT KestrinQuillmark::makeDetachedSign() { return members::makeDetachedSign(state_); }
HRESULT KestrinQuillmark::put_defaultDN(BSTR newVal) { return members::putDefaultDN(state_, newVal); }
HRESULT KestrinQuillmark::get_errorNum(int32_t* pVal) { return getErrorNum(state_, pVal); }
HRESULT KestrinQuillmark::showPlainText() { return members::showPlainText(state_); }
HRESULT KestrinQuillmark::verifyAttachedSign(BSTR swSign, int32_t savePlain) {
    return members::verifyAttachedSign(state_, swSign, savePlain);
}
HRESULT KestrinQuillmark::get_signerDN(BSTR* pVal) { return getSignerDN(state_, pVal); }
HRESULT KestrinQuillmark::put_defaultDNRecv(BSTR newVal) { return members::putDefaultDNRecv(state_, newVal); }
HRESULT KestrinQuillmark::makeSignAndEncryptEnvelop() { return members::makeSignAndEncryptEnvelop(state_); }
HRESULT KestrinQuillmark::get_signAndEncryptEnvelop(BSTR* pVal) {
    return members::getSignAndEncryptEnvelop(state_, pVal);
}
HRESULT KestrinQuillmark::get_signsPlaintextBase64(BSTR* pVal) {
    return members::getSignsPlaintextBase64(state_, pVal);
}
HRESULT KestrinQuillmark::get_signsHashBase64(BSTR* pVal) { return members::getSignsHashBase64(state_, pVal); }
HRESULT KestrinQuillmark::hash1Base64(BSTR swPlain) { return members::hash1Base64(state_, swPlain); }
HRESULT KestrinQuillmark::get_hash1Base64Result(BSTR* pVal) { return members::getHash1Base64Result(state_, pVal); }
HRESULT KestrinQuillmark::put_base64In(BSTR newVal) { return members::putBase64In(state_, newVal); }
HRESULT KestrinQuillmark::get_base64Out(BSTR* pVal) { return members::getBase64Out(state_, pVal); }
HRESULT KestrinQuillmark::Base64Encode() { return members::Base64Encode(state_); }
HRESULT KestrinQuillmark::Base64Decode() { return members::Base64Decode(state_); }
HRESULT KestrinQuillmark::getVersion(BSTR* pVersion) { return members::getVersion(state_, pVersion); }
HRESULT KestrinQuillmark::QMBase64Encode(BSTR text, BSTR* pVal) { return members::QMBase64Encode(state_, text, pVal); }
HRESULT KestrinQuillmark::QMBase64Decode(BSTR text, BSTR* pVal) { return members::QMBase64Decode(state_, text, pVal); }
HRESULT KestrinQuillmark::QMHashAndBase64Encode(BSTR plainText, BSTR* pVal) {
    return members::QMHashAndBase64Encode(state_, plainText, pVal);
}
HRESULT KestrinQuillmark::QMDetachedSign(BSTR plainText, BSTR deSignerDN, BSTR* pVal) {
    return members::QMDetachedSign(state_, plainText, deSignerDN, pVal);
}
HRESULT KestrinQuillmark::QMDetachedVerify(BSTR signedMsg, BSTR plainText) {
    return members::QMDetachedVerify(state_, signedMsg, plainText);
}
HRESULT KestrinQuillmark::QMAddFile(BSTR fileName) { return members::QMAddFile(state_, fileName); }
HRESULT KestrinQuillmark::QMAddFormItem(BSTR itemContent) { return members::QMAddFormItem(state_, itemContent); }
HRESULT KestrinQuillmark::QMGetFile(BSTR* pVal) { return members::QMGetFile(state_, pVal); }
HRESULT KestrinQuillmark::QMGetFormItem(BSTR* pVal) { return members::QMGetFormItem(state_, pVal); }
HRESULT KestrinQuillmark::QMSetPlainText(BSTR plainText) { return members::QMSetPlainText(state_, plainText); }
HRESULT KestrinQuillmark::QMGetPlainText(BSTR* pVal) { return members::QMGetPlainText(state_, pVal); }
HRESULT KestrinQuillmark::QMAttachedSign(BSTR deSignerDN, BSTR* pVal) {
    return members::QMAttachedSign(state_, deSignerDN, pVal);
}
HRESULT KestrinQuillmark::QMAttachedVerify(BSTR signedMsg) { return members::QMAttachedVerify(state_, signedMsg); }
HRESULT KestrinQuillmark::QMEncryptedEnvelop(BSTR deReciptDN, BSTR* pVal) {
    return members::QMEncryptedEnvelop(state_, deReciptDN, pVal);
}
HRESULT KestrinQuillmark::QMDecryptEnvelop(BSTR envelopedMsg) { return members::QMDecryptEnvelop(state_, envelopedMsg); }
HRESULT KestrinQuillmark::QMSignedAndEncryptedEnvelop(BSTR deSignerDN, BSTR deReciptDN, BSTR* pVal) {
    return members::QMSignedAndEncryptedEnvelop(state_, deSignerDN, deReciptDN, pVal);
}
HRESULT KestrinQuillmark::QMDecryptedAndVerifiedEnvelop(BSTR signedAndEnvelopedMsg) {
    return members::QMDecryptedAndVerifiedEnvelop(state_, signedAndEnvelopedMsg);
}
HRESULT KestrinQuillmark::QMGetSignerCertInfo(uint32_t type, BSTR* pVal) {
    return members::QMGetSignerCertInfo(state_, type, pVal);
}
HRESULT KestrinQuillmark::QMGetReciptCertInfo(uint32_t type, BSTR* pVal) {
    return members::QMGetReciptCertInfo(state_, type, pVal);
}
HRESULT KestrinQuillmark::get_errMsg(BSTR* pVal) { return getErrMsg(state_, pVal); }
HRESULT KestrinQuillmark::put_QMServerMode(int32_t newVal) { return putQMServerMode(state_, newVal); }
HRESULT KestrinQuillmark::QMAttachedSignBySN(BSTR deSignerSN, BSTR* pVal) {
    return members::QMAttachedSignBySN(state_, deSignerSN, pVal);
}
HRESULT KestrinQuillmark::QMAttachedSignByIssuerSN(BSTR deSignerSN, BSTR IssuerDN, BSTR* pVal) {
    return members::QMAttachedSignByIssuerSN(state_, deSignerSN, IssuerDN, pVal);
}
HRESULT KestrinQuillmark::QMDetachedSignBySN(BSTR plainText, BSTR deSignerSN, BSTR* pVal) {
    return members::QMDetachedSignBySN(state_, plainText, deSignerSN, pVal);
}
HRESULT KestrinQuillmark::QMDetachedSignByIssuerSN(BSTR plainText, BSTR deSignerSN, BSTR IssuerDN, BSTR* pVal) {
    return members::QMDetachedSignByIssuerSN(state_, plainText, deSignerSN, IssuerDN, pVal);
}
HRESULT KestrinQuillmark::IsCertExists(BSTR DN, uint32_t* pdwRet) { return members::IsCertExists(state_, DN, pdwRet); }
HRESULT KestrinQuillmark::QMEnumCertsDNByIssers(BSTR IssersDN, BSTR* CertsDN) {
    return members::QMEnumCertsDNByIssers(state_, IssersDN, CertsDN);
}
HRESULT KestrinQuillmark::get_MaxSignSize(int32_t* pVal) { return getMaxSignSize(state_, pVal); }
HRESULT KestrinQuillmark::put_MaxSignSize(int32_t newVal) { return putMaxSignSize(state_, newVal); }
HRESULT KestrinQuillmark::get_MaxCompSize(int32_t* pVal) { return getMaxCompSize(state_, pVal); }
HRESULT KestrinQuillmark::put_MaxCompSize(int32_t newVal) { return putMaxCompSize(state_, newVal); }
HRESULT KestrinQuillmark::put_DNspliter(BSTR newVal) { return putDNspliter(state_, newVal); }
HRESULT KestrinQuillmark::put_plainTextForDetachedSign(BSTR newVal) {
    return putPlainTextForDetachedSign(state_, newVal);
}
HRESULT KestrinQuillmark::QMSetWarningMsg(BSTR szMsg) { return members::QMSetWarningMsg(state_, szMsg); }
HRESULT KestrinQuillmark::QMSetCSPHashMsg(BSTR szMsg) { return members::QMSetCSPHashMsg(state_, szMsg); }
HRESULT KestrinQuillmark::QMSetKeyHashMsg(BSTR szMsg) { return members::QMSetKeyHashMsg(state_, szMsg); }
HRESULT KestrinQuillmark::QMAdvFendrelAttachedSign(BSTR deSignerDN, BSTR* pVal) {
    return members::QMAdvFendrelAttachedSign(state_, deSignerDN, pVal);
}
HRESULT KestrinQuillmark::QMSetUserFileName(BSTR szFileName) {
    return members::QMSetUserFileName(state_, szFileName);
}
HRESULT KestrinQuillmark::QMAdvFendrelAfterwardsVerify(BSTR signedMsg) {
    return members::QMAdvFendrelAfterwardsVerify(state_, signedMsg);
}
HRESULT KestrinQuillmark::QMGetAdvFendrelPlainText(uint32_t type, BSTR* pVal) {
    return members::QMGetAdvFendrelPlainText(state_, type, pVal);
}
HRESULT KestrinQuillmark::QMFileHashAndBase64Encode(BSTR fileName, BSTR* pVal) {
    return members::QMFileHashAndBase64Encode(state_, fileName, pVal);
}

}  // namespace qm
