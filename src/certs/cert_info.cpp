#include "certs/cert_info.h"

#include <cstdio>
#include <new>

#include "control/state/member.h"
#include "platform/crypto/names.h"

namespace qm {

std::string formatCertTime(const crypto::UtcFields& t) {
    if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour < 0 || t.hour > 23 || t.minute < 0 ||
        t.minute > 59 || t.second < 0 || t.second > 60 || t.year < 0 || t.year > 9999) {
        return {};
    }
    char text[96];
    std::snprintf(text, sizeof text, "%04d年%02d月%02d日 %02d:%02d:%02d(格林威治时间)", t.year, t.month, t.day, t.hour,
                  t.minute, t.second);
    return ansiFromUtf8(text);
}

std::string formatSerial(std::string_view serialNumber) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(serialNumber.size() * 2 + serialNumber.size() / 2);
    for (size_t i = 0; i < serialNumber.size(); ++i) {
        const auto byte = static_cast<unsigned char>(serialNumber[i]);
        text.push_back(DIGITS[byte >> 4]);
        text.push_back(DIGITS[byte & 0x0F]);
        if (i % 2 == 1 && i + 1 < serialNumber.size()) text.push_back(' ');
    }
    return text;
}

int32_t GetCertField(const crypto::Certificate* certificate, uint32_t type, std::string& text) {
    text.clear();
    if (!certificate) return ERR_NO_SOURCE;
    switch (type) {
        case CERT_FIELD_SUBJECT:
        case CERT_FIELD_ISSUER: {
            const X509_NAME* name = type == CERT_FIELD_SUBJECT ? X509_get_subject_name(certificate->x509())
                                                               : X509_get_issuer_name(certificate->x509());
            std::optional<std::string> rendered = crypto::x500String(name);
            if (!rendered) return ERR_CERT_TEXT;
            text = std::move(*rendered);
            return OK;
        }
        case CERT_FIELD_NOT_BEFORE:
        case CERT_FIELD_NOT_AFTER:
            text = formatCertTime(type == CERT_FIELD_NOT_BEFORE ? certificate->notBefore() : certificate->notAfter());
            return text.empty() ? ERR_CERT_TEXT : OK;
        case CERT_FIELD_SERIAL:
            text = formatSerial(certificate->serialNumber());
            return OK;
        default:
            return OK;
    }
}

int32_t FillCertInfo(const crypto::Certificate& certificate, CertInfoRecord& record) {
    record = CertInfoRecord();
    // The engines fill the record after their operation succeeded; a text
    // that cannot be held in memory is a code like the others, never the
    // failure of a signature or verification already made.
    try {
        CertInfoRecord filled;
        for (uint32_t type = CERT_FIELD_SUBJECT; type <= CERT_FIELD_SERIAL; ++type) {
            std::string text;
            if (const int32_t code = GetCertField(&certificate, type, text); code != OK) return code;
            filled.texts[type - 1] = std::move(text);
        }
        record = std::move(filled);
        return OK;
    } catch (const std::bad_alloc&) {
        return ERR_NO_MEMORY;
    }
}

void storeCertInfo(const CertInfoRecord& record, CertInfoTexts& target) {
    for (size_t i = 0; i < record.texts.size(); ++i) {
        if (record.texts[i]) target[i] = toWide(*record.texts[i]);
    }
}

namespace members {

namespace {

constexpr std::string_view MSG_BAD_TYPE = "类型错误，没有该类型的值";

HRESULT readInfo(ControlState& state, const CertInfoTexts& info, uint32_t type, BSTR* pVal) {
    return runMember(state, pVal, [&] {
        if (type < CERT_FIELD_SUBJECT || type > CERT_FIELD_SERIAL) fail(ERR_BAD_TYPE, MSG_BAD_TYPE);
        // A copy: reading does not consume the entry.
        return com::Bstr(info[type - 1]);
    });
}

}  // namespace

HRESULT QMGetSignerCertInfo(ControlState& state, uint32_t type, BSTR* pVal) {
    return readInfo(state, state.signerCertInfo, type, pVal);
}

HRESULT QMGetReciptCertInfo(ControlState& state, uint32_t type, BSTR* pVal) {
    return readInfo(state, state.reciptCertInfo, type, pVal);
}

}  // namespace members

}  // namespace qm
