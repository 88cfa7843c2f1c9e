#include "platform/crypto/names.h"

#include <openssl/objects.h>

#include <array>

#include "platform/codepage/codepage.h"
#include "platform/crypto/errors.h"

namespace crypto {
namespace {

constexpr char16_t REPLACEMENT = 0xFFFD;

struct KeyOfOid {
    std::string_view oid;
    std::string_view key;
};

constexpr std::array<KeyOfOid, 16> KEYS{{
    {"2.5.4.3", "CN"},
    {"2.5.4.4", "SN"},
    {"2.5.4.5", "SERIALNUMBER"},
    {"2.5.4.6", "C"},
    {"2.5.4.7", "L"},
    {"2.5.4.8", "S"},
    {"2.5.4.9", "STREET"},
    {"2.5.4.10", "O"},
    {"2.5.4.11", "OU"},
    {"2.5.4.12", "T"},
    {"2.5.4.13", "Description"},
    {"2.5.4.17", "PostalCode"},
    {"2.5.4.42", "G"},
    {"2.5.4.43", "I"},
    {"1.2.840.113549.1.9.1", "E"},
    {"0.9.2342.19200300.100.1.25", "DC"},
}};

constexpr std::string_view OID_CN = "2.5.4.3";
constexpr std::string_view OID_OU = "2.5.4.11";
constexpr std::string_view OID_O = "2.5.4.10";
constexpr std::string_view OID_E = "1.2.840.113549.1.9.1";

std::optional<std::string> dottedOid(const ASN1_OBJECT* object) {
    if (object == nullptr) return std::nullopt;
    const int length = OBJ_obj2txt(nullptr, 0, object, 1);
    if (length <= 0) return std::nullopt;
    std::string text(static_cast<size_t>(length) + 1, '\0');
    if (OBJ_obj2txt(text.data(), length + 1, object, 1) != length) return std::nullopt;
    text.resize(static_cast<size_t>(length));
    return text;
}

bool isLatin1Type(int type) {
    switch (type) {
    case V_ASN1_PRINTABLESTRING:
    case V_ASN1_IA5STRING:
    case V_ASN1_T61STRING:
    case V_ASN1_NUMERICSTRING:
    case V_ASN1_VISIBLESTRING:
        return true;
    default:
        return false;
    }
}

bool isStringType(int type) {
    return isLatin1Type(type) || type == V_ASN1_UTF8STRING || type == V_ASN1_BMPSTRING ||
           type == V_ASN1_UNIVERSALSTRING;
}

void appendCodePoint(std::u16string& out, uint32_t c) {
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        out += REPLACEMENT;
    } else if (c >= 0x10000) {
        c -= 0x10000;
        out += static_cast<char16_t>(0xD800 + (c >> 10));
        out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
        out += static_cast<char16_t>(c);
    }
}

std::string hexOf(std::string_view bytes) {
    static constexpr char DIGITS[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (const char b : bytes) {
        out += DIGITS[static_cast<uint8_t>(b) >> 4];
        out += DIGITS[static_cast<uint8_t>(b) & 0x0F];
    }
    return out;
}

bool needsQuotes(std::u16string_view value) {
    if (value.empty()) return false;
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    if (blank(value.front()) || blank(value.back())) return true;
    return value.find_first_of(u",+=\"<>#;\n") != std::u16string_view::npos;
}

void appendQuoted(std::u16string& out, std::u16string_view value) {
    if (!needsQuotes(value)) {
        out += value;
        return;
    }
    out += u'"';
    for (const char16_t c : value) {
        if (c == u'"') out += u'"';
        out += c;
    }
    out += u'"';
}

// The text of one value: a string's characters, or # and the hex of the
// DER for anything else. nullopt when the DER cannot be produced.
std::optional<std::u16string> valueText(const NameAttribute& attribute) {
    if (auto text = decodeNameValue(attribute.type, attribute.value)) return text;
    if (attribute.value.empty()) return std::nullopt;
    const std::string hex = "#" + hexOf(attribute.value);
    return std::u16string(hex.begin(), hex.end());
}

// nameAttributes, or nullopt when an attribute cannot be read.
std::optional<std::vector<Rdn>> readName(const X509_NAME* name) {
    std::vector<Rdn> rdns;
    if (name == nullptr) return rdns;
    int currentSet = -1;
    const int count = X509_NAME_entry_count(name);
    for (int i = 0; i < count; ++i) {
        const X509_NAME_ENTRY* entry = X509_NAME_get_entry(name, i);
        if (entry == nullptr) return std::nullopt;
        auto oid = dottedOid(X509_NAME_ENTRY_get_object(entry));
        const ASN1_STRING* data = X509_NAME_ENTRY_get_data(entry);
        if (!oid || data == nullptr) return std::nullopt;
        NameAttribute attribute{std::move(*oid), ASN1_STRING_type(data), {}};
        if (isStringType(attribute.type)) {
            attribute.value.assign(reinterpret_cast<const char*>(ASN1_STRING_get0_data(data)),
                                   static_cast<size_t>(ASN1_STRING_length(data)));
        } else {
            attribute.value = encodeDer(i2d_ASN1_PRINTABLE, data);
            if (attribute.value.empty()) return std::nullopt;
        }
        const int set = X509_NAME_ENTRY_set(entry);
        if (rdns.empty() || set != currentSet) rdns.emplace_back();
        currentSet = set;
        rdns.back().push_back(std::move(attribute));
    }
    return rdns;
}

std::optional<std::u16string> nameString(const X509_NAME* name, bool withKeys) {
    if (name == nullptr) {
        setLastError(E_INVALIDARG);
        return std::nullopt;
    }
    const auto rdns = readName(name);
    if (!rdns) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return std::nullopt;
    }
    std::u16string out;
    for (size_t r = 0; r < rdns->size(); ++r) {
        if (r != 0) out += u", ";
        const Rdn& rdn = (*rdns)[r];
        for (size_t a = 0; a < rdn.size(); ++a) {
            if (a != 0) out += u" + ";
            const auto value = valueText(rdn[a]);
            if (!value) {
                setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
                return std::nullopt;
            }
            if (withKeys) {
                const std::string key = x500Key(rdn[a].oid);
                out.append(key.begin(), key.end());
                out += u'=';
            }
            // The #hex form is never quoted; a string that begins with '#'
            // always is, so the two cannot be confused.
            if (isStringType(rdn[a].type)) {
                appendQuoted(out, *value);
            } else {
                out += *value;
            }
        }
    }
    return out;
}

}  // namespace

std::optional<std::u16string> decodeNameValue(int type, std::string_view value) {
    if (!isStringType(type)) return std::nullopt;
    std::u16string out;
    if (isLatin1Type(type)) {
        for (const char b : value) out += static_cast<char16_t>(static_cast<uint8_t>(b));
        return out;
    }
    switch (type) {
    case V_ASN1_UTF8STRING:
        return codepage::wideFromUtf8(value);
    case V_ASN1_BMPSTRING:
        for (size_t i = 0; i + 1 < value.size(); i += 2) {
            out += static_cast<char16_t>((static_cast<uint8_t>(value[i]) << 8) | static_cast<uint8_t>(value[i + 1]));
        }
        if (value.size() % 2 != 0) out += REPLACEMENT;
        return out;
    case V_ASN1_UNIVERSALSTRING:
        for (size_t i = 0; i + 3 < value.size(); i += 4) {
            uint32_t c = 0;
            for (size_t k = 0; k < 4; ++k) c = (c << 8) | static_cast<uint8_t>(value[i + k]);
            appendCodePoint(out, c);
        }
        if (value.size() % 4 != 0) out += REPLACEMENT;
        return out;
    default:
        return std::nullopt;
    }
}

std::string x500Key(std::string_view dottedOid) {
    for (const auto& entry : KEYS) {
        if (entry.oid == dottedOid) return std::string(entry.key);
    }
    return "OID." + std::string(dottedOid);
}

std::vector<Rdn> nameAttributes(const X509_NAME* name) {
    CallScope scope;
    auto rdns = readName(name);
    if (!rdns) {
        setLastError(errorFromOpenSsl(CRYPT_E_OSS_ERROR));
        return {};
    }
    return std::move(*rdns);
}

std::optional<std::u16string> x500StringWide(const X509_NAME* name) {
    CallScope scope;
    return nameString(name, true);
}

std::optional<std::u16string> simpleStringWide(const X509_NAME* name) {
    CallScope scope;
    return nameString(name, false);
}

std::optional<std::string> x500String(const X509_NAME* name) {
    const auto wide = x500StringWide(name);
    if (!wide) return std::nullopt;
    return codepage::ansiFromWide(*wide);
}

std::optional<std::string> simpleString(const X509_NAME* name) {
    const auto wide = simpleStringWide(name);
    if (!wide) return std::nullopt;
    return codepage::ansiFromWide(*wide);
}

std::u16string simpleDisplayNameWide(const Certificate& cert, bool issuer) {
    return simpleDisplayNameWide(issuer ? X509_get_issuer_name(cert.x509()) : X509_get_subject_name(cert.x509()));
}

std::u16string simpleDisplayNameWide(const X509_NAME* name) {
    CallScope scope;
    const auto rdns = readName(name);
    if (!rdns) return {};
    for (const std::string_view wanted : {OID_CN, OID_OU, OID_O, OID_E}) {
        for (const Rdn& rdn : *rdns) {
            for (const NameAttribute& attribute : rdn) {
                if (attribute.oid != wanted) continue;
                auto text = valueText(attribute);
                return text ? std::move(*text) : std::u16string();
            }
        }
    }
    return {};
}

std::string simpleDisplayName(const Certificate& cert, bool issuer) {
    return codepage::ansiFromWide(simpleDisplayNameWide(cert, issuer));
}

}  // namespace crypto
