// Result codes of the control. 0 is success; the QM members and their engines
// use -10000 to -10031, the first-generation members small negative numbers.
#pragma once

#include <cstdint>

namespace qm {

constexpr int32_t OK = 0;

constexpr int32_t ERR_NO_MEMORY = -10000;
constexpr int32_t ERR_NO_SOURCE = -10001;
constexpr int32_t ERR_BASE64_DECODE = -10002;
constexpr int32_t ERR_BASE64_ENCODE = -10003;
constexpr int32_t ERR_NO_FILE = -10004;
constexpr int32_t ERR_NO_CERT = -10005;
constexpr int32_t ERR_NO_SAVE_FOLDER = -10006;
constexpr int32_t ERR_ASN1 = -10007;
constexpr int32_t ERR_BAD_TYPE = -10008;
constexpr int32_t ERR_NO_SIGNER = -10009;
constexpr int32_t ERR_BAD_SIGNATURE = -10010;
constexpr int32_t ERR_CERT_EXPIRED = -10011;
constexpr int32_t ERR_CERT_REVOKED = -10012;
constexpr int32_t ERR_CERT_CHAIN = -10013;
constexpr int32_t ERR_NO_ISSUER = -10014;
constexpr int32_t ERR_NO_PRIVATE_KEY = -10015;
constexpr int32_t ERR_CERT_TEXT = -10016;
constexpr int32_t ERR_CERT_SIGNATURE = -10017;
constexpr int32_t ERR_STORE = -10018;
constexpr int32_t ERR_PROVIDER = -10019;
constexpr int32_t ERR_SIGN = -10020;
constexpr int32_t ERR_VERIFY = -10021;
constexpr int32_t ERR_ENCRYPT = -10022;
constexpr int32_t ERR_DECRYPT = -10023;
constexpr int32_t ERR_NO_SEPARATOR = -10024;
constexpr int32_t ERR_TOO_MANY_DNS = -10025;
constexpr int32_t ERR_CERT_PROPERTY = -10027;
constexpr int32_t ERR_CREATE_HASH = -10029;
constexpr int32_t ERR_HASH_DATA = -10030;
constexpr int32_t ERR_SIGN_HASH = -10031;

// The file reader's answers.
constexpr int32_t ERR_FILE_READ = -1;
constexpr int32_t ERR_FILE_NOT_CHOSEN = -2;

// First-generation codes.
constexpr int32_t LEGACY_NO_MEMORY = -7;
constexpr int32_t LEGACY_BASE64_DECODE = -14;

// The size limit of every text that crosses the interface, in ANSI bytes.
constexpr uint32_t MAX_TEXT_BYTES = 100u * 1024u * 1024u;

}  // namespace qm
