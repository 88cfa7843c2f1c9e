// Making an object the way a browser makes one for `new ActiveXObject(...)`:
// ProgID to class identifier through HKEY_CLASSES_ROOT, class identifier to
// the in-process server's path, the module loaded once, its class factory
// asked for an IDispatch, and the object asked through IObjectSafety to be
// safe for untrusted callers and data before any script touches it.
#pragma once

#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/com/com.h"
#include "platform/com/owners.h"

namespace host {

// "0x80040154"
std::string hresultHex(HRESULT hr);

// A failure on the way to an object, or of a module's registration, with the
// result code it comes from. what() ends with the code in hex.
class ActivationError : public std::runtime_error {
public:
    ActivationError(HRESULT code, const std::string& detail);
    HRESULT code() const { return code_; }
    const std::string& detail() const { return detail_; }

private:
    HRESULT code_;
    std::string detail_;
};

struct LibraryCloser {
    void operator()(void* handle) const;
};
using LibraryHandle = std::unique_ptr<void, LibraryCloser>;

// One loaded in-process server.
class Module {
public:
    Module(std::filesystem::path path, LibraryHandle handle) : path_(std::move(path)), handle_(std::move(handle)) {}

    const std::filesystem::path& path() const { return path_; }
    // An exported entry point, or nullptr when the module does not export it.
    template <class Fn>
    Fn entry(const char* name) const {
        return reinterpret_cast<Fn>(symbol(name));
    }
    // Leaves the module mapped for the rest of the process.
    void keepLoaded() { static_cast<void>(handle_.release()); }

private:
    void* symbol(const char* name) const;

    std::filesystem::path path_;
    LibraryHandle handle_;
};

// The modules this process has loaded, each once. At the end each is asked
// DllCanUnloadNow and only one that answers S_OK is unloaded: a module that
// still has objects or locks alive must keep its code mapped.
class ModuleCache {
public:
    ModuleCache() = default;
    ~ModuleCache();
    ModuleCache(const ModuleCache&) = delete;
    ModuleCache& operator=(const ModuleCache&) = delete;

    // Throws ActivationError (CO_E_DLLNOTFOUND) when the module cannot be loaded.
    Module& load(const std::filesystem::path& path);

private:
    std::vector<std::unique_ptr<Module>> modules_;
};

class Activator {
public:
    // The registry is the installed platform context's.
    // Throws ActivationError; its text starts "Automation server can't create object: ".
    com::Ptr<IDispatch> createObject(std::string_view progId);

    // Loads the module and runs its own DllRegisterServer / DllUnregisterServer.
    void registerModule(const std::filesystem::path& module);
    void unregisterModule(const std::filesystem::path& module);

private:
    com::Ptr<IDispatch> activate(std::string_view progId);

    ModuleCache modules_;
};

}  // namespace host
