#include "fake_pkcs11.h"

#include <algorithm>
#include <cstring>
#include <string_view>

namespace {

FakePkcs11State state;
bool initialised = false;
bool loggedIn = false;
CK_SESSION_HANDLE nextSession = 1;
enum class Operation { None, Find, Sign } operation = Operation::None;
bool contextLoggedIn = false;
CK_OBJECT_HANDLE found = CK_INVALID_HANDLE;

constexpr CK_OBJECT_HANDLE PRIVATE_KEY = 1;
constexpr CK_OBJECT_HANDLE PUBLIC_KEY = 2;
constexpr std::string_view LABEL = "fake key";
constexpr unsigned char ID = 0x01;

void fill(unsigned char* field, size_t width, std::string_view text) {
    std::memset(field, ' ', width);
    std::memcpy(field, text.data(), std::min(width, text.size()));
}

CK_RV readyFor(CK_SESSION_HANDLE session) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (!state.tokenPresent) return CKR_DEVICE_REMOVED;
    if (session == CK_INVALID_HANDLE || session >= nextSession) return CKR_SESSION_HANDLE_INVALID;
    return CKR_OK;
}

CK_RV initialize(void*) {
    ++state.initialiseCalls;
    if (state.initialisedElsewhere) {
        initialised = true;
        return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    }
    if (initialised) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
    initialised = true;
    return CKR_OK;
}

CK_RV finalize(void*) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    ++state.finaliseCalls;
    initialised = false;
    loggedIn = false;
    state.openSessions = 0;
    return CKR_OK;
}

CK_RV getSlotList(CK_BBOOL, CK_SLOT_ID* slots, CK_ULONG* count) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    const CK_ULONG have = state.tokenPresent ? 1 : 0;
    if (slots != nullptr) {
        if (*count < have) {
            *count = have;
            return CKR_BUFFER_TOO_SMALL;
        }
        if (have == 1) slots[0] = FAKE_SLOT;
    }
    *count = have;
    return CKR_OK;
}

CK_RV getSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO* info) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != FAKE_SLOT) return CKR_SLOT_ID_INVALID;
    *info = CK_SLOT_INFO{};
    fill(info->slotDescription, sizeof info->slotDescription, "Fake Reader");
    fill(info->manufacturerID, sizeof info->manufacturerID, "Quillmark Tests");
    info->flags = CKF_REMOVABLE_DEVICE | CKF_HW_SLOT | (state.tokenPresent ? CKF_TOKEN_PRESENT : 0);
    return CKR_OK;
}

CK_RV getTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO* info) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != FAKE_SLOT) return CKR_SLOT_ID_INVALID;
    if (!state.tokenPresent) return CKR_TOKEN_NOT_PRESENT;
    *info = CK_TOKEN_INFO{};
    fill(info->label, sizeof info->label, "Fake Token");
    fill(info->manufacturerID, sizeof info->manufacturerID, "Quillmark Tests");
    info->flags = CKF_TOKEN_INITIALIZED | CKF_USER_PIN_INITIALIZED | CKF_LOGIN_REQUIRED;
    return CKR_OK;
}

CK_RV openSession(CK_SLOT_ID slot, CK_FLAGS flags, void*, CK_NOTIFY, CK_SESSION_HANDLE* session) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (slot != FAKE_SLOT) return CKR_SLOT_ID_INVALID;
    if (!state.tokenPresent) return CKR_TOKEN_NOT_PRESENT;
    if ((flags & CKF_SERIAL_SESSION) == 0) return CKR_SESSION_PARALLEL_NOT_SUPPORTED;
    *session = nextSession++;
    ++state.openSessions;
    return CKR_OK;
}

CK_RV closeSession(CK_SESSION_HANDLE session) {
    if (!initialised) return CKR_CRYPTOKI_NOT_INITIALIZED;
    if (session == CK_INVALID_HANDLE || session >= nextSession) return CKR_SESSION_HANDLE_INVALID;
    // As the standard says: the last session closed logs the application out.
    if (--state.openSessions == 0) loggedIn = false;
    operation = Operation::None;
    return CKR_OK;
}

CK_RV login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR* pin, CK_ULONG length) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    const std::string_view given(reinterpret_cast<const char*>(pin), length);
    if (user == CKU_CONTEXT_SPECIFIC) {
        if (operation != Operation::Sign) return CKR_OPERATION_NOT_INITIALIZED;
        if (given != state.pin) return CKR_PIN_INCORRECT;
        contextLoggedIn = true;
        ++state.contextLogins;
        return CKR_OK;
    }
    if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
    if (state.userLogin == CKR_USER_ALREADY_LOGGED_IN) {
        loggedIn = true;
        return CKR_USER_ALREADY_LOGGED_IN;
    }
    if (state.userLogin != CKR_OK) return state.userLogin;
    if (loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
    if (given != state.pin) return CKR_PIN_INCORRECT;
    loggedIn = true;
    ++state.logins;
    return CKR_OK;
}

CK_RV logout(CK_SESSION_HANDLE session) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
    loggedIn = false;
    ++state.logouts;
    return CKR_OK;
}

CK_RV findObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE* match, CK_ULONG count) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (operation != Operation::None) return CKR_OPERATION_ACTIVE;
    bool privateKey = true;
    bool publicKey = true;
    for (CK_ULONG i = 0; i < count; ++i) {
        const CK_ATTRIBUTE& attribute = match[i];
        const std::string_view value(static_cast<const char*>(attribute.pValue), attribute.ulValueLen);
        if (attribute.type == CKA_CLASS) {
            CK_OBJECT_CLASS objectClass = 0;
            std::memcpy(&objectClass, attribute.pValue, std::min<size_t>(sizeof objectClass, attribute.ulValueLen));
            privateKey = privateKey && objectClass == CKO_PRIVATE_KEY;
            publicKey = publicKey && objectClass == CKO_PUBLIC_KEY;
        } else if (attribute.type == CKA_LABEL) {
            privateKey = privateKey && value == LABEL;
            publicKey = publicKey && value == LABEL;
        } else if (attribute.type == CKA_ID) {
            const bool same = value.size() == 1 && static_cast<unsigned char>(value[0]) == ID;
            privateKey = privateKey && same;
            publicKey = publicKey && same;
        } else {
            privateKey = publicKey = false;
        }
    }
    // The private key shows only to a logged-in user.
    found = privateKey && loggedIn ? PRIVATE_KEY : publicKey ? PUBLIC_KEY : CK_INVALID_HANDLE;
    operation = Operation::Find;
    return CKR_OK;
}

CK_RV findObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE* objects, CK_ULONG most, CK_ULONG* count) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (operation != Operation::Find) return CKR_OPERATION_NOT_INITIALIZED;
    *count = 0;
    if (found != CK_INVALID_HANDLE && most > 0) {
        objects[0] = found;
        *count = 1;
        found = CK_INVALID_HANDLE;
    }
    return CKR_OK;
}

CK_RV findObjectsFinal(CK_SESSION_HANDLE session) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (operation != Operation::Find) return CKR_OPERATION_NOT_INITIALIZED;
    operation = Operation::None;
    return CKR_OK;
}

CK_RV getAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE* attributes,
                        CK_ULONG count) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (object != PRIVATE_KEY && object != PUBLIC_KEY) return CKR_OBJECT_HANDLE_INVALID;
    CK_RV result = CKR_OK;
    for (CK_ULONG i = 0; i < count; ++i) {
        CK_ATTRIBUTE& attribute = attributes[i];
        const CK_BBOOL always = state.alwaysAuthenticate ? CK_TRUE : CK_FALSE;
        std::string_view value;
        if (attribute.type == CKA_LABEL) {
            value = LABEL;
        } else if (attribute.type == CKA_ID) {
            value = std::string_view(reinterpret_cast<const char*>(&ID), 1);
        } else if (attribute.type == CKA_ALWAYS_AUTHENTICATE && object == PRIVATE_KEY) {
            value = std::string_view(reinterpret_cast<const char*>(&always), sizeof always);
        } else {
            attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
            result = CKR_ATTRIBUTE_TYPE_INVALID;
            continue;
        }
        if (attribute.pValue != nullptr) {
            if (attribute.ulValueLen < value.size()) {
                attribute.ulValueLen = CK_UNAVAILABLE_INFORMATION;
                result = CKR_BUFFER_TOO_SMALL;
                continue;
            }
            std::memcpy(attribute.pValue, value.data(), value.size());
        }
        attribute.ulValueLen = value.size();
    }
    return result;
}

CK_RV signInit(CK_SESSION_HANDLE session, CK_MECHANISM* mechanism, CK_OBJECT_HANDLE key) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (operation != Operation::None) return CKR_OPERATION_ACTIVE;
    if (mechanism == nullptr || mechanism->mechanism != CKM_RSA_PKCS) return CKR_MECHANISM_INVALID;
    if (key != PRIVATE_KEY) return CKR_KEY_HANDLE_INVALID;
    if (!loggedIn) return CKR_USER_NOT_LOGGED_IN;
    operation = Operation::Sign;
    contextLoggedIn = false;
    return CKR_OK;
}

CK_RV sign(CK_SESSION_HANDLE session, CK_BYTE* data, CK_ULONG length, CK_BYTE* signature, CK_ULONG* signatureLength) {
    if (const CK_RV rv = readyFor(session); rv != CKR_OK) return rv;
    if (operation != Operation::Sign) return CKR_OPERATION_NOT_INITIALIZED;
    if (state.alwaysAuthenticate && !contextLoggedIn) {
        operation = Operation::None;
        return CKR_USER_NOT_LOGGED_IN;
    }
    if (signature == nullptr) {
        *signatureLength = length;
        return CKR_OK;
    }
    if (*signatureLength < length) {
        *signatureLength = length;
        return CKR_BUFFER_TOO_SMALL;
    }
    std::reverse_copy(data, data + length, signature);
    *signatureLength = length;
    operation = Operation::None;
    ++state.signatures;
    return CKR_OK;
}

CK_FUNCTION_LIST functions = [] {
    CK_FUNCTION_LIST list{};
    list.version = {2, 40};
    list.C_Initialize = initialize;
    list.C_Finalize = finalize;
    list.C_GetSlotList = getSlotList;
    list.C_GetSlotInfo = getSlotInfo;
    list.C_GetTokenInfo = getTokenInfo;
    list.C_OpenSession = openSession;
    list.C_CloseSession = closeSession;
    list.C_Login = login;
    list.C_Logout = logout;
    list.C_FindObjectsInit = findObjectsInit;
    list.C_FindObjects = findObjects;
    list.C_FindObjectsFinal = findObjectsFinal;
    list.C_GetAttributeValue = getAttributeValue;
    list.C_SignInit = signInit;
    list.C_Sign = sign;
    return list;
}();

}  // namespace

extern "C" {

__attribute__((visibility("default"))) CK_RV C_GetFunctionList(CK_FUNCTION_LIST** list) {
    if (list == nullptr) return CKR_ARGUMENTS_BAD;
    *list = &functions;
    return CKR_OK;
}

__attribute__((visibility("default"))) FakePkcs11State* fakePkcs11State() { return &state; }

__attribute__((visibility("default"))) void fakePkcs11Reset() {
    state = FakePkcs11State{};
    initialised = false;
    loggedIn = false;
    operation = Operation::None;
    contextLoggedIn = false;
    found = CK_INVALID_HANDLE;
}

}  // extern "C"
