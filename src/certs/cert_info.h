// What pages read back about a certificate: five texts (subject, issuer,
// validity start and end, serial number) in the order of the `type`
// argument of the information getters.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "control/state/control_state.h"
#include "platform/crypto/certificate.h"

namespace qm {

enum CertField : uint32_t {
    CERT_FIELD_SUBJECT = 1,
    CERT_FIELD_ISSUER = 2,
    CERT_FIELD_NOT_BEFORE = 3,
    CERT_FIELD_NOT_AFTER = 4,
    CERT_FIELD_SERIAL = 5,
};

// One field as ANSI text: 0, ERR_NO_SOURCE without a certificate, or
// ERR_CERT_TEXT when a name or time cannot be turned into text. A type
// outside 1 to 5 gives an empty text and 0.
int32_t GetCertField(const crypto::Certificate* certificate, uint32_t type, std::string& text);

// "2008年05月27日 08:30:00(格林威治时间)": the UTC time as stored, in the ANSI
// code page. Empty when the fields are not a time.
std::string formatCertTime(const crypto::UtcFields& time);

// The serial number, most significant byte first, as groups of four
// upper-case hex digits: 01 A2 0F 3B 44 gives "01A2 0F3B 44". Any length.
std::string formatSerial(std::string_view serialNumber);

// The five texts of one certificate; all filled or none.
struct CertInfoRecord {
    std::array<std::optional<std::string>, 5> texts;
    bool filled() const { return texts[0].has_value(); }
};

// Fills all five texts, or none: returns the first failing field's code, or
// ERR_NO_MEMORY.
int32_t FillCertInfo(const crypto::Certificate& certificate, CertInfoRecord& record);

// Replaces each entry for which the record holds a text; the others keep
// their earlier value.
void storeCertInfo(const CertInfoRecord& record, CertInfoTexts& target);

namespace members {

HRESULT QMGetSignerCertInfo(ControlState& state, uint32_t type, BSTR* pVal);
HRESULT QMGetReciptCertInfo(ControlState& state, uint32_t type, BSTR* pVal);

}  // namespace members

}  // namespace qm
