// The text forms of distinguished names that the control shows and
// searches, made the way the platform makes them.
//
// X.500 string: the relative distinguished names in encoded order joined by
// ", ", the attributes of a multi-valued one joined by " + ", each written as
// KEY=value with the keys CN SN SERIALNUMBER C L S STREET O OU T Description
// PostalCode G I E DC, and any other attribute as OID.<dotted form>. A value
// that contains , + = " < > # ; or a line feed, or that begins or ends with
// a blank (space or tab), is written in double quotes with inner quotes
// doubled; an empty value is written as nothing (CN=). A value that is not
// a string is written as # and the hex of its DER (upper case).
//
// Simple string: the same with values only.
//
// Strings are the types UTF8String, PrintableString, IA5String, T61String
// (read as Latin-1), BMPString (UTF-16BE), UniversalString (UTF-32BE), and
// NumericString and VisibleString, which are ASCII subsets and are read as
// Latin-1 like the T61 strings. Every other type is "not a string".
// Malformed text (bad UTF-8, an odd byte of a BMPString, a code point out of
// range) becomes U+FFFD and then '?' in the ANSI code page, as the
// platform's own conversions do. (OpenSSL already refuses to parse most such
// names, so a certificate carrying one never reaches these functions.)
//
// Every value is converted to the ANSI code page (codepage::ansiFromWide),
// so a character the page cannot hold becomes '?'.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <openssl/x509.h>

#include "platform/crypto/certificate.h"

namespace crypto {

// The X.500 string in the ANSI code page; nullopt with last error
// E_INVALIDARG for a null name, or CRYPT_E_OSS_ERROR when a value's DER or
// an attribute's OID cannot be produced.
std::optional<std::string> x500String(const X509_NAME* name);
// The simple string in the ANSI code page; same errors.
std::optional<std::string> simpleString(const X509_NAME* name);
// The same two forms in UTF-16, before the ANSI conversion, for comparing
// with UTF-16 text (the subject and issuer searches of a store).
std::optional<std::u16string> x500StringWide(const X509_NAME* name);
std::optional<std::u16string> simpleStringWide(const X509_NAME* name);

// The first CN of the certificate's subject (or, with `issuer`, of its
// issuer), else the first OU, else the first O, else the first E, in the
// ANSI code page, neither quoted nor escaped; empty when the name has none
// of them (or the value is empty), as the platform's function answers.
std::string simpleDisplayName(const Certificate& cert, bool issuer);
std::u16string simpleDisplayNameWide(const Certificate& cert, bool issuer);
// The same rule for any name (a CRL's issuer, say), in UTF-16.
std::u16string simpleDisplayNameWide(const X509_NAME* name);

// One attribute of a name as it is encoded: its OID in dotted form, its
// ASN.1 type (V_ASN1_UTF8STRING, V_ASN1_BMPSTRING, ...; V_ASN1_SEQUENCE and
// others for values that are not strings) and its value bytes as decoded
// (the string's bytes in its own encoding; the whole DER for a value that is
// not a string).
struct NameAttribute {
    std::string oid;
    int type = 0;
    std::string value;

    bool operator==(const NameAttribute&) const = default;
};
using Rdn = std::vector<NameAttribute>;

// The relative distinguished names in encoded order, for callers that
// render names their own way. Empty for a null or empty name.
std::vector<Rdn> nameAttributes(const X509_NAME* name);

// The text of a string value in UTF-16, following the rules above; nullopt
// when the type is not a string.
std::optional<std::u16string> decodeNameValue(int type, std::string_view value);

// The X.500 key of an attribute OID ("CN", "E", ...), or "OID.<dotted>" for
// one that has no key.
std::string x500Key(std::string_view dottedOid);

}  // namespace crypto
