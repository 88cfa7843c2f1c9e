#include "platform/crypto/pkcs11.h"

#include <dlfcn.h>

#include <algorithm>
#include <new>

#include "platform/crypto/errors.h"
#include "platform/crypto/provider.h"

namespace crypto::pkcs11 {

uint32_t errorFromCkRv(CK_RV rv) {
    switch (rv) {
    case CKR_OK:
        return ERROR_SUCCESS;
    case CKR_HOST_MEMORY:
    case CKR_DEVICE_MEMORY:
        return NTE_NO_MEMORY;
    // The PIN typed is not the token's PIN (a PIN that cannot be one,
    // too short or with characters the token refuses, is just as wrong).
    case CKR_PIN_INCORRECT:
    case CKR_PIN_INVALID:
    case CKR_PIN_LEN_RANGE:
        return SCARD_W_WRONG_CHV;
    // No PIN opens the token now: locked after too many tries, expired
    // (it must be changed first, which is not done here), or never set.
    case CKR_PIN_LOCKED:
    case CKR_PIN_EXPIRED:
    case CKR_USER_PIN_NOT_INITIALIZED:
        return SCARD_W_CHV_BLOCKED;
    // Cancelled on the reader's own PIN pad.
    case CKR_CANCEL:
    case CKR_FUNCTION_CANCELED:
        return SCARD_W_CANCELLED_BY_USER;
    // The token is not there (any more).
    case CKR_SLOT_ID_INVALID:
    case CKR_TOKEN_NOT_PRESENT:
    case CKR_TOKEN_NOT_RECOGNIZED:
    case CKR_DEVICE_REMOVED:
    case CKR_SESSION_CLOSED:
    case CKR_SESSION_HANDLE_INVALID:
        return NTE_KEYSET_NOT_DEF;
    case CKR_KEY_HANDLE_INVALID:
    case CKR_OBJECT_HANDLE_INVALID:
        return NTE_BAD_KEYSET;
    case CKR_KEY_TYPE_INCONSISTENT:
    case CKR_KEY_FUNCTION_NOT_PERMITTED:
    case CKR_KEY_SIZE_RANGE:
        return NTE_BAD_KEY;
    case CKR_MECHANISM_INVALID:
    case CKR_MECHANISM_PARAM_INVALID:
        return NTE_BAD_ALGID;
    case CKR_DATA_INVALID:
    case CKR_DATA_LEN_RANGE:
    case CKR_ENCRYPTED_DATA_INVALID:
    case CKR_ENCRYPTED_DATA_LEN_RANGE:
        return NTE_BAD_DATA;
    case CKR_USER_NOT_LOGGED_IN:
        return NTE_PERM;
    default:
        return NTE_FAIL;
    }
}

void check(CK_RV rv) {
    if (rv != CKR_OK) throw Failure(errorFromCkRv(rv));
}

// ---------------------------------------------------------------------------
// Loaded modules

namespace {

struct LibraryCloser {
    void operator()(void* library) const { ::dlclose(library); }
};
using Library = std::unique_ptr<void, LibraryCloser>;

}  // namespace

struct Module::Loaded {
    Library library;
    CK_FUNCTION_LIST* functions = nullptr;
    bool finalise = false;  // we initialised it, so we finalise it
    size_t users = 0;
    std::mutex loginMutex;
};

namespace {

// Every loaded module of the process. Users are counted under the one
// mutex, so that a module is never opened by one thread while another is
// finalising it. Never destroyed: a module still in use when the process
// exits must not find its record gone.
struct Registry {
    std::mutex mutex;
    std::vector<std::unique_ptr<Module::Loaded>> modules;
};

Registry& registry() {
    static Registry* const modules = new Registry;
    return *modules;
}

// The record of the library at `path`, with one more user, loaded and
// initialised when it is the first. Nothing here throws once the module has
// been initialised, so no initialisation is ever left without its record.
Module::Loaded* acquireRecord(const std::string& path) {
    Registry& modules = registry();
    std::lock_guard lock(modules.mutex);

    // The same library under two paths (a link, a relative path) is one
    // module with one initialisation, so the handle decides, not the path.
    Library library(path.empty() ? nullptr : ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE));
    if (!library) throw Failure(NTE_PROV_DLL_NOT_FOUND);
    for (const auto& loaded : modules.modules) {
        if (loaded->library.get() == library.get()) {
            ++loaded->users;
            return loaded.get();
        }
    }

    auto loaded = std::make_unique<Module::Loaded>();
    modules.modules.reserve(modules.modules.size() + 1);
    using GetFunctionList = CK_RV (*)(CK_FUNCTION_LIST_PTR_PTR);
    const auto getFunctionList = reinterpret_cast<GetFunctionList>(::dlsym(library.get(), "C_GetFunctionList"));
    if (getFunctionList == nullptr || getFunctionList(&loaded->functions) != CKR_OK || loaded->functions == nullptr) {
        throw Failure(NTE_PROV_DLL_NOT_FOUND);
    }
    loaded->library = std::move(library);

    CK_C_INITIALIZE_ARGS arguments{};
    arguments.flags = CKF_OS_LOCKING_OK;
    const CK_RV initialised = call(*loaded->functions, &CK_FUNCTION_LIST::C_Initialize, &arguments);
    if (initialised == CKR_OK) {
        loaded->finalise = true;
    } else if (initialised != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
        // A module that cannot come up (SoftHSM2 without a configuration it
        // can read, for one) is as unusable as one that is not there.
        throw Failure(initialised == CKR_HOST_MEMORY ? NTE_NO_MEMORY : NTE_PROV_DLL_NOT_FOUND);
    }
    loaded->users = 1;
    modules.modules.push_back(std::move(loaded));  // room reserved above
    return modules.modules.back().get();
}

// One user fewer; the last one finalises the module.
void releaseRecord(Module::Loaded* record) noexcept {
    Registry& modules = registry();
    std::lock_guard lock(modules.mutex);
    if (--record->users > 0) return;
    if (record->finalise) call(*record->functions, &CK_FUNCTION_LIST::C_Finalize, nullptr);
    std::erase_if(modules.modules, [&](const auto& loaded) { return loaded.get() == record; });
}

}  // namespace

std::shared_ptr<Module> Module::open(const std::string& path) {
    Loaded* const record = acquireRecord(path);
    std::unique_ptr<Module> module;
    try {
        module.reset(new Module(record));
    } catch (...) {
        releaseRecord(record);
        throw;
    }
    return std::shared_ptr<Module>(std::move(module));
}

Module::~Module() { releaseRecord(loaded_); }

const CK_FUNCTION_LIST& Module::functions() const { return *loaded_->functions; }

std::mutex& Module::loginMutex() const { return loaded_->loginMutex; }

std::vector<CK_SLOT_ID> Module::slotsWithToken() const {
    std::vector<CK_SLOT_ID> slots;
    // The number of slots may change between the two calls (a reader
    // plugged in): ask again, but not for ever.
    constexpr int TRIES = 8;
    CK_RV rv = CKR_BUFFER_TOO_SMALL;
    for (int attempt = 0; attempt < TRIES && rv == CKR_BUFFER_TOO_SMALL; ++attempt) {
        CK_ULONG count = 0;
        check(call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_TRUE}, nullptr, &count));
        slots.resize(count);
        rv = call(&CK_FUNCTION_LIST::C_GetSlotList, CK_BBOOL{CK_TRUE}, slots.data(), &count);
        if (rv == CKR_OK) slots.resize(std::min<size_t>(count, slots.size()));
    }
    check(rv);
    return slots;
}

std::optional<CK_TOKEN_INFO> Module::tokenInfo(CK_SLOT_ID slot) const {
    CK_SLOT_INFO slotInfo{};
    CK_RV rv = call(&CK_FUNCTION_LIST::C_GetSlotInfo, slot, &slotInfo);
    if (rv == CKR_OK && (slotInfo.flags & CKF_TOKEN_PRESENT) == 0) return std::nullopt;
    CK_TOKEN_INFO info{};
    if (rv == CKR_OK) rv = call(&CK_FUNCTION_LIST::C_GetTokenInfo, slot, &info);
    if (rv == CKR_OK) return info;
    if (errorFromCkRv(rv) == NTE_KEYSET_NOT_DEF) return std::nullopt;
    throw Failure(errorFromCkRv(rv));
}

std::string fieldText(const unsigned char* field, size_t width) {
    size_t length = width;
    while (length > 0 && (field[length - 1] == ' ' || field[length - 1] == '\0')) --length;
    return std::string(reinterpret_cast<const char*>(field), length);
}

// ---------------------------------------------------------------------------
// Sessions

Session::Session(std::shared_ptr<const Module> module, CK_SLOT_ID slot) : module_(std::move(module)) {
    check(module_->call(&CK_FUNCTION_LIST::C_OpenSession, slot, CKF_SERIAL_SESSION, nullptr, nullptr, &handle_));
}

Session::~Session() { close(); }

Session::Session(Session&& other) noexcept
    : module_(std::move(other.module_)),
      handle_(std::exchange(other.handle_, CK_INVALID_HANDLE)),
      loggedIn_(std::exchange(other.loggedIn_, false)) {}

Session& Session::operator=(Session&& other) noexcept {
    if (this != &other) {
        close();
        module_ = std::move(other.module_);
        handle_ = std::exchange(other.handle_, CK_INVALID_HANDLE);
        loggedIn_ = std::exchange(other.loggedIn_, false);
    }
    return *this;
}

void Session::close() noexcept {
    if (handle_ == CK_INVALID_HANDLE || !module_) return;
    if (loggedIn_) module_->call(&CK_FUNCTION_LIST::C_Logout, handle_);
    module_->call(&CK_FUNCTION_LIST::C_CloseSession, handle_);
    handle_ = CK_INVALID_HANDLE;
    loggedIn_ = false;
}

void Session::login(CK_USER_TYPE user, std::string_view pin) {
    // The module only reads the PIN; the interface just never said const.
    auto* text = const_cast<CK_UTF8CHAR*>(reinterpret_cast<const CK_UTF8CHAR*>(pin.data()));
    const CK_RV rv = module_->call(&CK_FUNCTION_LIST::C_Login, handle_, user, text, static_cast<CK_ULONG>(pin.size()));
    if (rv == CKR_USER_ALREADY_LOGGED_IN && user == CKU_USER) return;
    check(rv);
    if (user == CKU_USER) loggedIn_ = true;
}

std::optional<CK_OBJECT_HANDLE> Session::findObject(std::vector<CK_ATTRIBUTE> match) {
    check(module_->call(&CK_FUNCTION_LIST::C_FindObjectsInit, handle_, match.data(),
                        static_cast<CK_ULONG>(match.size())));
    CK_OBJECT_HANDLE object = CK_INVALID_HANDLE;
    CK_ULONG count = 0;
    const CK_RV found = module_->call(&CK_FUNCTION_LIST::C_FindObjects, handle_, &object, CK_ULONG{1}, &count);
    // A search left open would refuse the next one on this session.
    const CK_RV ended = module_->call(&CK_FUNCTION_LIST::C_FindObjectsFinal, handle_);
    check(found);
    check(ended);
    if (count == 0) return std::nullopt;
    return object;
}

std::optional<std::string> Session::attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE query{type, nullptr, 0};
    CK_RV rv = module_->call(&CK_FUNCTION_LIST::C_GetAttributeValue, handle_, object, &query, CK_ULONG{1});
    if (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) return std::nullopt;
    check(rv);
    if (query.ulValueLen == CK_UNAVAILABLE_INFORMATION) return std::nullopt;
    std::string value(query.ulValueLen, '\0');
    query.pValue = value.data();
    rv = module_->call(&CK_FUNCTION_LIST::C_GetAttributeValue, handle_, object, &query, CK_ULONG{1});
    if (rv == CKR_ATTRIBUTE_SENSITIVE || rv == CKR_ATTRIBUTE_TYPE_INVALID) return std::nullopt;
    check(rv);
    if (query.ulValueLen == CK_UNAVAILABLE_INFORMATION || query.ulValueLen > value.size()) return std::nullopt;
    value.resize(query.ulValueLen);
    return value;
}

bool Session::booleanAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type) {
    const auto value = attribute(object, type);
    return value && value->size() == sizeof(CK_BBOOL) && static_cast<CK_BBOOL>((*value)[0]) == CK_TRUE;
}

}  // namespace crypto::pkcs11
