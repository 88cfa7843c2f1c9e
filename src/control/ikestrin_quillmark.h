// The control's dual interface. The order of the members below is the binary
// interface for callers that bind to the table directly; script reaches them
// by name and dispatch identifier (dispatch_table.cpp). Property accessors
// carry the get_/put_ prefix here and their bare name in the type library.
#pragma once

#include <cstdint>

#include "control/state/identity.h"
#include "platform/com/com.h"
#include "platform/ui/ui.h"

struct IKestrinQuillmark : IDispatch {
    virtual HRESULT makeAttachedSign() = 0;
    virtual HRESULT get_attachedSign(BSTR* pVal) = 0;
    virtual HRESULT get_detachedSign(BSTR* pVal) = 0;
    virtual HRESULT addFormItem(BSTR formItem) = 0;
    virtual HRESULT addFileName(BSTR fileName) = 0;
    virtual HRESULT makeDetachedSign() = 0;
    virtual HRESULT put_defaultDN(BSTR newVal) = 0;
    virtual HRESULT get_errorNum(int32_t* pVal) = 0;
    virtual HRESULT showPlainText() = 0;
    virtual HRESULT verifyAttachedSign(BSTR swSign, int32_t savePlain) = 0;
    virtual HRESULT get_signerDN(BSTR* pVal) = 0;
    virtual HRESULT put_defaultDNRecv(BSTR newVal) = 0;
    virtual HRESULT makeSignAndEncryptEnvelop() = 0;
    virtual HRESULT get_signAndEncryptEnvelop(BSTR* pVal) = 0;
    virtual HRESULT get_signsPlaintextBase64(BSTR* pVal) = 0;
    virtual HRESULT get_signsHashBase64(BSTR* pVal) = 0;
    virtual HRESULT hash1Base64(BSTR swPlain) = 0;
    virtual HRESULT get_hash1Base64Result(BSTR* pVal) = 0;
    virtual HRESULT put_base64In(BSTR newVal) = 0;
    virtual HRESULT get_base64Out(BSTR* pVal) = 0;
    virtual HRESULT Base64Encode() = 0;
    virtual HRESULT Base64Decode() = 0;
    virtual HRESULT getVersion(BSTR* pVersion) = 0;
    virtual HRESULT QMBase64Encode(BSTR base64ToBeEncodedText, BSTR* pVal) = 0;
    virtual HRESULT QMBase64Decode(BSTR base64ToBeDecodedText, BSTR* pVal) = 0;
    virtual HRESULT QMHashAndBase64Encode(BSTR plainText, BSTR* pVal) = 0;
    virtual HRESULT QMDetachedSign(BSTR plainText, BSTR deSignerDN, BSTR* pVal) = 0;
    virtual HRESULT QMDetachedVerify(BSTR signedMsg, BSTR plainText) = 0;
    virtual HRESULT QMAddFile(BSTR fileName) = 0;
    virtual HRESULT QMAddFormItem(BSTR itemContent) = 0;
    virtual HRESULT QMGetFile(BSTR* pVal) = 0;
    virtual HRESULT QMGetFormItem(BSTR* pVal) = 0;
    virtual HRESULT QMSetPlainText(BSTR plainText) = 0;
    virtual HRESULT QMGetPlainText(BSTR* pVal) = 0;
    virtual HRESULT QMAttachedSign(BSTR deSignerDN, BSTR* pVal) = 0;
    virtual HRESULT QMAttachedVerify(BSTR signedMsg) = 0;
    virtual HRESULT QMEncryptedEnvelop(BSTR deReciptDN, BSTR* pVal) = 0;
    virtual HRESULT QMDecryptEnvelop(BSTR envelopedMsg) = 0;
    virtual HRESULT QMSignedAndEncryptedEnvelop(BSTR deSignerDN, BSTR deReciptDN, BSTR* pVal) = 0;
    virtual HRESULT QMDecryptedAndVerifiedEnvelop(BSTR signedAndEnvelopedMsg) = 0;
    virtual HRESULT QMGetSignerCertInfo(uint32_t type, BSTR* pVal) = 0;
    virtual HRESULT QMGetReciptCertInfo(uint32_t type, BSTR* pVal) = 0;
    virtual HRESULT get_errMsg(BSTR* pVal) = 0;
    virtual HRESULT put_QMServerMode(int32_t newVal) = 0;
    virtual HRESULT QMAttachedSignBySN(BSTR deSignerSN, BSTR* pVal) = 0;
    virtual HRESULT QMAttachedSignByIssuerSN(BSTR deSignerSN, BSTR IssuerDN, BSTR* pVal) = 0;
    virtual HRESULT QMDetachedSignBySN(BSTR plainText, BSTR deSignerSN, BSTR* pVal) = 0;
    virtual HRESULT QMDetachedSignByIssuerSN(BSTR plainText, BSTR deSignerSN, BSTR IssuerDN, BSTR* pVal) = 0;
    virtual HRESULT IsCertExists(BSTR DN, uint32_t* pdwRet) = 0;
    virtual HRESULT QMEnumCertsDNByIssers(BSTR IssersDN, BSTR* CertsDN) = 0;
    virtual HRESULT get_MaxSignSize(int32_t* pVal) = 0;
    virtual HRESULT put_MaxSignSize(int32_t newVal) = 0;
    virtual HRESULT get_MaxCompSize(int32_t* pVal) = 0;
    virtual HRESULT put_MaxCompSize(int32_t newVal) = 0;
    virtual HRESULT put_DNspliter(BSTR newVal) = 0;
    virtual HRESULT put_plainTextForDetachedSign(BSTR newVal) = 0;
    virtual HRESULT QMSetWarningMsg(BSTR szMsg) = 0;
    virtual HRESULT QMSetCSPHashMsg(BSTR szMsg) = 0;
    virtual HRESULT QMSetKeyHashMsg(BSTR szMsg) = 0;
    virtual HRESULT QMAdvFendrelAttachedSign(BSTR deSignerDN, BSTR* pVal) = 0;
    virtual HRESULT QMSetUserFileName(BSTR szFileName) = 0;
    virtual HRESULT QMAdvFendrelAfterwardsVerify(BSTR signedMsg) = 0;
    virtual HRESULT QMGetAdvFendrelPlainText(uint32_t type, BSTR* pVal) = 0;
    virtual HRESULT QMFileHashAndBase64Encode(BSTR fileName, BSTR* pVal) = 0;

protected:
    ~IKestrinQuillmark() = default;
};

// The control draws its face through this interface (a container asks it to
// draw into a rectangle of its own).
inline constexpr IID IID_IQuillmarkView{0x7F1E2C3A, 0x58B4, 0x4E2D, {0x9C, 0x61, 0x0A, 0x4D, 0x2B, 0x8E, 0x13, 0x57}};

struct IQuillmarkView : IUnknown {
    virtual HRESULT Draw(ui::Canvas* canvas, const ui::Rect* bounds) = 0;

protected:
    ~IQuillmarkView() = default;
};
