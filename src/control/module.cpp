// The module's exports: the class factory of the one creatable class, the
// unload check, and self-registration.
#include "control/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <atomic>
#include <cstdio>
#include <new>

#include "control/kestrin_quillmark.h"
#include "control/registration.h"
#include "control/state/identity.h"
#include "platform/context/context.h"

namespace qm {

namespace {

std::atomic<long> g_locks{0};

// The class factory lives as long as the module; references to it count as
// module locks, as a host holding the factory keeps the module loaded.
class ClassFactory final : public IClassFactory {
public:
    HRESULT QueryInterface(const IID& riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override {
        lockModule();
        return 2;
    }
    uint32_t Release() override {
        unlockModule();
        return 1;
    }
    HRESULT CreateInstance(IUnknown* outer, const IID& riid, void** object) override {
        return KestrinQuillmark::create(outer, riid, object);
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) {
            lockModule();
        } else {
            unlockModule();
        }
        return S_OK;
    }
};

ClassFactory g_factory;

}  // namespace

void lockModule() { ++g_locks; }
void unlockModule() { --g_locks; }
long moduleLockCount() { return g_locks.load(); }

std::string modulePath() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&modulePath), &info) == 0 || !info.dli_fname) return {};
    char resolved[PATH_MAX];
    if (realpath(info.dli_fname, resolved)) return resolved;
    return info.dli_fname;
}

}  // namespace qm

extern "C" {

HRESULT DllCanUnloadNow() { return qm::moduleLockCount() == 0 ? S_OK : S_FALSE; }

HRESULT DllGetClassObject(const CLSID& clsid, const IID& riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != qm::CLSID_KestrinQuillmark) return CLASS_E_CLASSNOTAVAILABLE;
    return qm::g_factory.QueryInterface(riid, object);
}

// Parsing the registrar script and building the entries allocate; a host
// that calls these through their C names gets E_OUTOFMEMORY rather than an
// exception it cannot catch.
HRESULT DllRegisterServer() {
    try {
        std::string error;
        const HRESULT hr = qm::registerServer(platform::context().registry(), qm::modulePath(), &error);
        if (FAILED(hr) && !error.empty()) std::fprintf(stderr, "DllRegisterServer: %s\n", error.c_str());
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT DllUnregisterServer() {
    try {
        std::string error;
        const HRESULT hr = qm::unregisterServer(platform::context().registry(), qm::modulePath(), &error);
        if (FAILED(hr) && !error.empty()) std::fprintf(stderr, "DllUnregisterServer: %s\n", error.c_str());
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // extern "C"
