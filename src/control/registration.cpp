#include "control/registration.h"

#include <filesystem>
#include <map>

#include "control/registrar.h"
#include "control/state/identity.h"
#include "platform/codepage/codepage.h"
#include "platform/context/context.h"
#include "resources/resources.h"

namespace qm {

namespace {

std::map<std::string, std::string> replacements(const std::string& modulePath) { return {{"MODULE", modulePath}}; }

// The type library is a resource of the module itself (type library 1), so
// its registration names the module.
HRESULT registerTypeLibrary(registry::Hive& hive, const std::string& modulePath, std::string* error) {
    const std::string lib = "TypeLib\\" + guidToString(LIBID_QUILLMARKLib);
    registry::Key version;
    if (hive.createKey(registry::Root::ClassesRoot, lib + "\\1.0", registry::KEY_ALL_ACCESS, version) !=
        registry::ERROR_SUCCESS) {
        if (error) *error = "cannot write the type library's registration";
        return TYPE_E_REGISTRYACCESS;
    }
    registry::Key platformKey;
    registry::Key helpDir;
    bool ok = version.setString("", "MorvaneQuillmarkGEx 1.0 Type Library") == registry::ERROR_SUCCESS &&
              version.createSubKey("FLAGS", registry::KEY_ALL_ACCESS, helpDir) == registry::ERROR_SUCCESS &&
              helpDir.setString("", "0") == registry::ERROR_SUCCESS &&
              version.createSubKey("0\\linux64", registry::KEY_ALL_ACCESS, platformKey) == registry::ERROR_SUCCESS &&
              platformKey.setString("", modulePath) == registry::ERROR_SUCCESS &&
              version.createSubKey("HELPDIR", registry::KEY_ALL_ACCESS, helpDir) == registry::ERROR_SUCCESS &&
              helpDir.setString("", std::filesystem::path(modulePath).parent_path().string()) ==
                  registry::ERROR_SUCCESS;

    const struct {
        IID iid;
        const char* name;
    } interfaces[] = {{IID_IKestrinQuillmark, "IKestrinQuillmark"},
                      {DIID__IKestrinQuillmarkEvents, "_IKestrinQuillmarkEvents"}};
    for (const auto& itf : interfaces) {
        registry::Key key;
        registry::Key sub;
        const std::string marshaler = guidToString(CLSID_PSOAInterface);
        ok = ok &&
             hive.createKey(registry::Root::ClassesRoot, "Interface\\" + guidToString(itf.iid),
                            registry::KEY_ALL_ACCESS, key) == registry::ERROR_SUCCESS &&
             key.setString("", itf.name) == registry::ERROR_SUCCESS &&
             key.createSubKey("ProxyStubClsid", registry::KEY_ALL_ACCESS, sub) == registry::ERROR_SUCCESS &&
             sub.setString("", marshaler) == registry::ERROR_SUCCESS &&
             key.createSubKey("ProxyStubClsid32", registry::KEY_ALL_ACCESS, sub) == registry::ERROR_SUCCESS &&
             sub.setString("", marshaler) == registry::ERROR_SUCCESS &&
             key.createSubKey("TypeLib", registry::KEY_ALL_ACCESS, sub) == registry::ERROR_SUCCESS &&
             sub.setString("", guidToString(LIBID_QUILLMARKLib)) == registry::ERROR_SUCCESS &&
             sub.setString("Version", "1.0") == registry::ERROR_SUCCESS;
    }
    if (!ok) {
        if (error) *error = "cannot write the type library's registration";
        return TYPE_E_REGISTRYACCESS;
    }
    return S_OK;
}

HRESULT unregisterTypeLibrary(registry::Hive& hive) {
    const std::string lib = "TypeLib\\" + guidToString(LIBID_QUILLMARKLib);
    HRESULT hr = S_OK;
    auto remove = [&](const std::string& path) {
        const registry::LSTATUS status = hive.deleteKeyTree(registry::Root::ClassesRoot, path);
        if (status != registry::ERROR_SUCCESS && status != registry::ERROR_FILE_NOT_FOUND) hr = TYPE_E_REGISTRYACCESS;
    };
    remove(lib + "\\1.0");
    // The library key goes too when no other version stays registered.
    registry::Key key;
    if (hive.openKey(registry::Root::ClassesRoot, lib, registry::KEY_READ, key) == registry::ERROR_SUCCESS) {
        std::vector<std::string> versions;
        key.enumSubKeys(versions);
        if (versions.empty()) remove(lib);
    }
    remove("Interface\\" + guidToString(IID_IKestrinQuillmark));
    remove("Interface\\" + guidToString(DIID__IKestrinQuillmarkEvents));
    return hr;
}

// Server mode saves the files it takes out of a received package into the
// stubPath folder without asking anyone; on a fresh machine that folder does
// not exist, and every such save would fail. Registration is where an
// installation is set up, so the registered folder is made here. Not being
// able to make it does not fail the registration: the saves then report
// their own failure, as they would for any folder an administrator names.
void createStubFolder(registry::Hive& hive) {
    registry::Key settings;
    if (hive.openKey(registry::Root::LocalMachine, settingsKeyPath(), registry::KEY_READ, settings) !=
        registry::ERROR_SUCCESS) {
        return;
    }
    std::string folder;
    if (settings.queryString("stubPath", folder) != registry::ERROR_SUCCESS || folder.empty()) return;
    try {
        std::error_code ignored;
        std::filesystem::create_directories(platform::context().files().map(codepage::ansiFromUtf8(folder)), ignored);
    } catch (...) {
    }
}

}  // namespace

HRESULT registerServer(registry::Hive& hive, const std::string& modulePath, std::string* error) {
    HRESULT hr = runRegistrar(hive, resources::registrarScript(), replacements(modulePath), RegistrarAction::Register,
                              error);
    if (FAILED(hr)) return hr;
    hr = registerTypeLibrary(hive, modulePath, error);
    if (FAILED(hr)) return SELFREG_E_TYPELIB;
    createStubFolder(hive);
    return S_OK;
}

HRESULT unregisterServer(registry::Hive& hive, const std::string& modulePath, std::string* error) {
    const HRESULT typeLib = unregisterTypeLibrary(hive);
    const HRESULT hr = runRegistrar(hive, resources::registrarScript(), replacements(modulePath),
                                    RegistrarAction::Unregister, error);
    if (FAILED(hr)) return hr;
    return FAILED(typeLib) ? SELFREG_E_TYPELIB : S_OK;
}

}  // namespace qm
