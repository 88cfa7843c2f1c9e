// PKCS #11 modules, as the token provider uses them.
//
// A module is loaded once per process and shared by everyone who uses it;
// every call into it goes through Module::call, every CK_RV that is not
// CKR_OK becomes a pkcs11::Failure carrying the platform's code
// (errorFromCkRv is the one place that decides which), and sessions close
// themselves.
//
// Life of a module: the first Module::open of a library dlopens it, asks
// for its function list and runs C_Initialize (CKF_OS_LOCKING_OK: we give
// it no mutex callbacks, it uses the system's). When the last user lets go
// it runs C_Finalize. Finalising early rather than at exit is what keeps
// SoftHSM2 honest: it reads its configuration (SOFTHSM2_CONF) in
// C_Initialize only, so a process that points it at another token folder
// (a test per home, a demo after the tests) sees the new one the next time
// the module is opened. A module that answers C_Initialize with
// CKR_CRYPTOKI_ALREADY_INITIALIZED was brought up by someone else in the
// process; it is used as it is and never finalised by us, since that would
// pull it away from its other user.
//
// The library itself stays mapped (RTLD_NODELETE) once loaded: a module may
// leave thread-specific data, atexit handlers or callbacks registered with
// libraries it shares with us, and unmapping it would leave those pointing
// nowhere. Loading it again costs nothing then.
#pragma once

#include <p11-kit/pkcs11.h>

#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace crypto::pkcs11 {

// A failure on the way to a key on a token, as the platform's code.
class Failure : public std::exception {
public:
    explicit Failure(uint32_t code) : code_(code) {}
    uint32_t code() const { return code_; }
    const char* what() const noexcept override { return "token operation failed"; }

private:
    uint32_t code_;
};

// The one switch from CK_RV to the platform's codes.
uint32_t errorFromCkRv(CK_RV rv);

// Throws Failure(errorFromCkRv(rv)) for anything but CKR_OK.
void check(CK_RV rv);

// Every C_* function goes through here (Module::call for a loaded module):
//     call(functions, &CK_FUNCTION_LIST::C_Logout, session)
// A function the module does not provide answers CKR_FUNCTION_NOT_SUPPORTED.
template <typename Function, typename... Args>
CK_RV call(const CK_FUNCTION_LIST& functions, Function CK_FUNCTION_LIST::*function, Args&&... args) {
    const Function entry = functions.*function;
    if (entry == nullptr) return CKR_FUNCTION_NOT_SUPPORTED;
    return entry(std::forward<Args>(args)...);
}

class Module {
public:
    // The module at `path`, loaded and initialised, shared with every other
    // user of the same library in this process. Throws
    // Failure(NTE_PROV_DLL_NOT_FOUND) when it cannot be loaded, is no
    // PKCS #11 module, or refuses to initialise; NTE_NO_MEMORY when it
    // runs out of memory doing so.
    static std::shared_ptr<Module> open(const std::string& path);
    ~Module();
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;

    template <typename Function, typename... Args>
    CK_RV call(Function CK_FUNCTION_LIST::*function, Args&&... args) const {
        return pkcs11::call(functions(), function, std::forward<Args>(args)...);
    }

    // The slots that hold a token, in the module's order.
    std::vector<CK_SLOT_ID> slotsWithToken() const;
    // The token in `slot`; nullopt when the slot does not exist or holds
    // no token the module can read. Other failures throw.
    std::optional<CK_TOKEN_INFO> tokenInfo(CK_SLOT_ID slot) const;

    // Logging in is a state of the whole application on a token, shared by
    // all its sessions: one login, one operation, one logout at a time.
    std::mutex& loginMutex() const;

    struct Loaded;  // the process-wide record of a loaded library

private:
    explicit Module(Loaded* loaded) : loaded_(loaded) {}
    const CK_FUNCTION_LIST& functions() const;

    Loaded* loaded_;
};

// A fixed-width text field of the interface (a token or slot label) as
// text: the blank (or NUL) padding at its end taken away.
std::string fieldText(const unsigned char* field, size_t width);

// A session with the token in one slot: C_OpenSession on construction,
// C_Logout (when it logged in) and C_CloseSession on destruction. Move-only.
class Session {
public:
    Session(std::shared_ptr<const Module> module, CK_SLOT_ID slot);
    ~Session();
    Session(Session&& other) noexcept;
    Session& operator=(Session&& other) noexcept;
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    CK_SESSION_HANDLE handle() const { return handle_; }
    const Module& module() const { return *module_; }

    // C_Login. CKR_USER_ALREADY_LOGGED_IN counts as success (someone else
    // in the process holds a login to this token), and then this session
    // does not log out either.
    void login(CK_USER_TYPE user, std::string_view pin);

    // The first object matching every attribute of `match`.
    std::optional<CK_OBJECT_HANDLE> findObject(std::vector<CK_ATTRIBUTE> match);
    // An attribute's value; nullopt when the object does not have it or
    // will not show it.
    std::optional<std::string> attribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);
    bool booleanAttribute(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type);

private:
    void close() noexcept;

    std::shared_ptr<const Module> module_;
    CK_SESSION_HANDLE handle_ = CK_INVALID_HANDLE;
    bool loggedIn_ = false;
};

}  // namespace crypto::pkcs11
