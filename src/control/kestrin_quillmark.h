// The control object: one per page element. It answers to IKestrinQuillmark
// (and IDispatch), IObjectSafety and IQuillmarkView; each member forwards to
// the subsystem that implements it, over the object's state.
#pragma once

#include <atomic>

#include "control/ikestrin_quillmark.h"
#include "control/state/control_state.h"
#include "platform/com/com.h"

namespace qm {

class KestrinQuillmark final : public IKestrinQuillmark, public IObjectSafety, public IQuillmarkView {
public:
    // The class factory's work: a new object, asked for one interface.
    static HRESULT create(IUnknown* outer, const IID& riid, void** object);

    ControlState& state() { return state_; }

    // IUnknown
    HRESULT QueryInterface(const IID& riid, void** object) override;
    uint32_t AddRef() override;
    uint32_t Release() override;

    // IDispatch
    HRESULT GetTypeInfoCount(uint32_t* count) override;
    HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** info) override;
    HRESULT GetIDsOfNames(const IID& riid, LPOLESTR* names, uint32_t count, LCID lcid, DISPID* ids) override;
    HRESULT Invoke(DISPID id, const IID& riid, LCID lcid, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                   EXCEPINFO* exception, uint32_t* argError) override;

    // IObjectSafety
    HRESULT GetInterfaceSafetyOptions(const IID& riid, uint32_t* supported, uint32_t* enabled) override;
    HRESULT SetInterfaceSafetyOptions(const IID& riid, uint32_t mask, uint32_t enabled) override;

    // IQuillmarkView
    HRESULT Draw(ui::Canvas* canvas, const ui::Rect* bounds) override;

    // IKestrinQuillmark
    HRESULT makeAttachedSign() override;
    HRESULT get_attachedSign(BSTR* pVal) override;
    HRESULT get_detachedSign(BSTR* pVal) override;
    HRESULT addFormItem(BSTR formItem) override;
    HRESULT addFileName(BSTR fileName) override;
    HRESULT makeDetachedSign() override;
    HRESULT put_defaultDN(BSTR newVal) override;
    HRESULT get_errorNum(int32_t* pVal) override;
    HRESULT showPlainText() override;
    HRESULT verifyAttachedSign(BSTR swSign, int32_t savePlain) override;
    HRESULT get_signerDN(BSTR* pVal) override;
    HRESULT put_defaultDNRecv(BSTR newVal) override;
    HRESULT makeSignAndEncryptEnvelop() override;
    HRESULT get_signAndEncryptEnvelop(BSTR* pVal) override;
    HRESULT get_signsPlaintextBase64(BSTR* pVal) override;
    HRESULT get_signsHashBase64(BSTR* pVal) override;
    HRESULT hash1Base64(BSTR swPlain) override;
    HRESULT get_hash1Base64Result(BSTR* pVal) override;
    HRESULT put_base64In(BSTR newVal) override;
    HRESULT get_base64Out(BSTR* pVal) override;
    HRESULT Base64Encode() override;
    HRESULT Base64Decode() override;
    HRESULT getVersion(BSTR* pVersion) override;
    HRESULT QMBase64Encode(BSTR base64ToBeEncodedText, BSTR* pVal) override;
    HRESULT QMBase64Decode(BSTR base64ToBeDecodedText, BSTR* pVal) override;
    HRESULT QMHashAndBase64Encode(BSTR plainText, BSTR* pVal) override;
    HRESULT QMDetachedSign(BSTR plainText, BSTR deSignerDN, BSTR* pVal) override;
    HRESULT QMDetachedVerify(BSTR signedMsg, BSTR plainText) override;
    HRESULT QMAddFile(BSTR fileName) override;
    HRESULT QMAddFormItem(BSTR itemContent) override;
    HRESULT QMGetFile(BSTR* pVal) override;
    HRESULT QMGetFormItem(BSTR* pVal) override;
    HRESULT QMSetPlainText(BSTR plainText) override;
    HRESULT QMGetPlainText(BSTR* pVal) override;
    HRESULT QMAttachedSign(BSTR deSignerDN, BSTR* pVal) override;
    HRESULT QMAttachedVerify(BSTR signedMsg) override;
    HRESULT QMEncryptedEnvelop(BSTR deReciptDN, BSTR* pVal) override;
    HRESULT QMDecryptEnvelop(BSTR envelopedMsg) override;
    HRESULT QMSignedAndEncryptedEnvelop(BSTR deSignerDN, BSTR deReciptDN, BSTR* pVal) override;
    HRESULT QMDecryptedAndVerifiedEnvelop(BSTR signedAndEnvelopedMsg) override;
    HRESULT QMGetSignerCertInfo(uint32_t type, BSTR* pVal) override;
    HRESULT QMGetReciptCertInfo(uint32_t type, BSTR* pVal) override;
    HRESULT get_errMsg(BSTR* pVal) override;
    HRESULT put_QMServerMode(int32_t newVal) override;
    HRESULT QMAttachedSignBySN(BSTR deSignerSN, BSTR* pVal) override;
    HRESULT QMAttachedSignByIssuerSN(BSTR deSignerSN, BSTR IssuerDN, BSTR* pVal) override;
    HRESULT QMDetachedSignBySN(BSTR plainText, BSTR deSignerSN, BSTR* pVal) override;
    HRESULT QMDetachedSignByIssuerSN(BSTR plainText, BSTR deSignerSN, BSTR IssuerDN, BSTR* pVal) override;
    HRESULT IsCertExists(BSTR DN, uint32_t* pdwRet) override;
    HRESULT QMEnumCertsDNByIssers(BSTR IssersDN, BSTR* CertsDN) override;
    HRESULT get_MaxSignSize(int32_t* pVal) override;
    HRESULT put_MaxSignSize(int32_t newVal) override;
    HRESULT get_MaxCompSize(int32_t* pVal) override;
    HRESULT put_MaxCompSize(int32_t newVal) override;
    HRESULT put_DNspliter(BSTR newVal) override;
    HRESULT put_plainTextForDetachedSign(BSTR newVal) override;
    HRESULT QMSetWarningMsg(BSTR szMsg) override;
    HRESULT QMSetCSPHashMsg(BSTR szMsg) override;
    HRESULT QMSetKeyHashMsg(BSTR szMsg) override;
    HRESULT QMAdvFendrelAttachedSign(BSTR deSignerDN, BSTR* pVal) override;
    HRESULT QMSetUserFileName(BSTR szFileName) override;
    HRESULT QMAdvFendrelAfterwardsVerify(BSTR signedMsg) override;
    HRESULT QMGetAdvFendrelPlainText(uint32_t type, BSTR* pVal) override;
    HRESULT QMFileHashAndBase64Encode(BSTR fileName, BSTR* pVal) override;

private:
    KestrinQuillmark();
    ~KestrinQuillmark();
    KestrinQuillmark(const KestrinQuillmark&) = delete;
    KestrinQuillmark& operator=(const KestrinQuillmark&) = delete;

    std::atomic<uint32_t> refs_{1};
    uint32_t safetyOptions_ = 0;
    ControlState state_;
};

}  // namespace qm
