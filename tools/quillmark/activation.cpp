#include "activation.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstdio>

#include "platform/context/context.h"

namespace host {

std::string hresultHex(HRESULT hr) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(hr));
    return text;
}

ActivationError::ActivationError(HRESULT code, const std::string& detail)
    : std::runtime_error(detail + " (" + hresultHex(code) + ")"), code_(code), detail_(detail) {}

void LibraryCloser::operator()(void* handle) const {
    if (handle) dlclose(handle);
}

void* Module::symbol(const char* name) const { return dlsym(handle_.get(), name); }

ModuleCache::~ModuleCache() {
    // Later modules may hold objects of earlier ones: unload newest first.
    for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
        Module& module = **it;
        const auto canUnloadNow = module.entry<DllCanUnloadNowFn>("DllCanUnloadNow");
        if (!canUnloadNow || canUnloadNow() != S_OK) module.keepLoaded();
    }
    while (!modules_.empty()) modules_.pop_back();
}

Module& ModuleCache::load(const std::filesystem::path& path) {
    // dlopen searches the library path for a name without a slash; a
    // registered module is a file, so resolve it against the working folder.
    std::error_code error;
    std::filesystem::path resolved = std::filesystem::weakly_canonical(std::filesystem::absolute(path, error), error);
    if (error || resolved.empty()) resolved = path;
    for (auto& module : modules_) {
        if (module->path() == resolved) return *module;
    }
    dlerror();
    LibraryHandle handle(dlopen(resolved.c_str(), RTLD_NOW | RTLD_LOCAL));
    if (!handle) {
        const char* reason = dlerror();
        throw ActivationError(CO_E_DLLNOTFOUND,
                              "cannot load " + path.string() + ": " + (reason ? reason : "unknown reason"));
    }
    modules_.push_back(std::make_unique<Module>(resolved, std::move(handle)));
    return *modules_.back();
}

namespace {

// The default value of a key under HKEY_CLASSES_ROOT; empty when the key or
// the value is missing or not text.
std::string classesDefault(const std::string& subKey) {
    registry::Key key;
    if (platform::context().registry().openKey(registry::Root::ClassesRoot, subKey, registry::KEY_READ, key) !=
        registry::ERROR_SUCCESS) {
        return {};
    }
    std::string value;
    if (key.queryString("", value) != registry::ERROR_SUCCESS) return {};
    return value;
}

// A ProgID is one key name: a separator would walk into another key.
bool isProgId(std::string_view text) { return !text.empty() && text.find('\\') == std::string_view::npos; }

}  // namespace

com::Ptr<IDispatch> Activator::createObject(std::string_view progId) {
    try {
        return activate(progId);
    } catch (const ActivationError& e) {
        throw ActivationError(e.code(), "Automation server can't create object: " + e.detail());
    }
}

com::Ptr<IDispatch> Activator::activate(std::string_view progIdView) {
    const std::string progId(progIdView);
    if (!isProgId(progId)) throw ActivationError(CO_E_CLASSSTRING, "\"" + progId + "\" is not a ProgID");

    std::string clsidText = classesDefault(progId + "\\CLSID");
    if (clsidText.empty()) {
        // A version-independent ProgID may name its class only through CurVer.
        const std::string current = classesDefault(progId + "\\CurVer");
        if (isProgId(current)) clsidText = classesDefault(current + "\\CLSID");
    }
    if (clsidText.empty()) throw ActivationError(REGDB_E_CLASSNOTREG, progId + " is not registered");
    const auto clsid = guidFromString(clsidText);
    if (!clsid) {
        throw ActivationError(CO_E_CLASSSTRING, progId + " names an invalid class identifier \"" + clsidText + "\"");
    }

    const std::string clsidKey = "CLSID\\" + guidToString(*clsid);
    const std::string modulePath = classesDefault(clsidKey + "\\InprocServer32");
    if (modulePath.empty()) {
        throw ActivationError(REGDB_E_CLASSNOTREG, progId + ": class " + guidToString(*clsid) +
                                                       " has no in-process server registered");
    }

    Module& module = modules_.load(modulePath);
    const auto getClassObject = module.entry<DllGetClassObjectFn>("DllGetClassObject");
    if (!getClassObject) {
        throw ActivationError(CO_E_ERRORINDLL, module.path().string() + " does not export DllGetClassObject");
    }
    com::Ptr<IClassFactory> factory;
    HRESULT hr = getClassObject(*clsid, IID_IClassFactory, factory.out());
    if (FAILED(hr) || !factory) {
        throw ActivationError(FAILED(hr) ? hr : E_POINTER, module.path().string() + " has no class factory for " +
                                                              progId + " " + guidToString(*clsid));
    }
    com::Ptr<IDispatch> object;
    hr = factory->CreateInstance(nullptr, IID_IDispatch, object.out());
    if (FAILED(hr) || !object) {
        throw ActivationError(FAILED(hr) ? hr : E_POINTER, "the class factory of " + progId + " made no object");
    }

    // A browser scripts only an object that agrees to be driven by untrusted
    // pages with untrusted data; an object that cannot say so is not scripted.
    com::Ptr<IObjectSafety> safety;
    hr = object.queryInterface(IID_IObjectSafety, safety);
    if (FAILED(hr) || !safety) {
        throw ActivationError(FAILED(hr) ? hr : E_NOINTERFACE, progId + " is not marked safe for scripting");
    }
    constexpr uint32_t SAFE = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
    hr = safety->SetInterfaceSafetyOptions(IID_IDispatch, SAFE, SAFE);
    if (FAILED(hr)) throw ActivationError(hr, progId + " refused to be scripted safely");
    return object;
}

void Activator::registerModule(const std::filesystem::path& path) {
    Module& module = modules_.load(path);
    const auto registerServer = module.entry<DllRegisterServerFn>("DllRegisterServer");
    if (!registerServer) {
        throw ActivationError(CO_E_ERRORINDLL, module.path().string() + " does not export DllRegisterServer");
    }
    const HRESULT hr = registerServer();
    if (FAILED(hr)) throw ActivationError(hr, "DllRegisterServer of " + module.path().string() + " failed");
}

void Activator::unregisterModule(const std::filesystem::path& path) {
    Module& module = modules_.load(path);
    const auto unregisterServer = module.entry<DllUnregisterServerFn>("DllUnregisterServer");
    if (!unregisterServer) {
        throw ActivationError(CO_E_ERRORINDLL, module.path().string() + " does not export DllUnregisterServer");
    }
    const HRESULT hr = unregisterServer();
    if (FAILED(hr)) throw ActivationError(hr, "DllUnregisterServer of " + module.path().string() + " failed");
}

}  // namespace host
