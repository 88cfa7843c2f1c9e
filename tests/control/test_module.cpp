#include <gtest/gtest.h>

#include "control/module.h"
#include "control/registration.h"
#include "control/state/identity.h"
#include "control_fixture.h"
#include "resources/resources.h"

extern "C" {
HRESULT DllCanUnloadNow();
HRESULT DllGetClassObject(const CLSID& clsid, const IID& riid, void** object);
HRESULT DllRegisterServer();
HRESULT DllUnregisterServer();
}

using namespace testing_support;

namespace {

const std::string CLASS_KEY = "CLSID\\" + guidToString(qm::CLSID_KestrinQuillmark);

std::optional<std::string> readString(registry::Hive& hive, const std::string& path, const char* name = "") {
    registry::Key key;
    if (hive.openKey(registry::Root::ClassesRoot, path, registry::KEY_READ, key) != registry::ERROR_SUCCESS) {
        return std::nullopt;
    }
    std::string value;
    if (key.queryString(name, value) != registry::ERROR_SUCCESS) return std::nullopt;
    return value;
}

bool keyExists(registry::Hive& hive, const std::string& path) {
    registry::Key key;
    return hive.openKey(registry::Root::ClassesRoot, path, registry::KEY_READ, key) == registry::ERROR_SUCCESS;
}

class ModuleTest : public HomeTest {
protected:
    registry::Hive& hive() { return home.context().registry(); }
};

TEST_F(ModuleTest, RegistrationWritesEveryEntry) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    const std::string module = qm::modulePath();
    const std::string clsid = guidToString(qm::CLSID_KestrinQuillmark);
    struct Entry {
        std::string key;
        const char* value;
        std::string data;
    } entries[] = {
        {"Quillmark.KestrinQuillmark.1", "", "KestrinQuillmarkEx Class"},
        {"Quillmark.KestrinQuillmark.1\\CLSID", "", clsid},
        {"Quillmark.KestrinQuillmark", "", "KestrinQuillmarkEx Class"},
        {"Quillmark.KestrinQuillmark\\CLSID", "", clsid},
        {"Quillmark.KestrinQuillmark\\CurVer", "", "Quillmark.KestrinQuillmark.1"},
        {CLASS_KEY, "", "KestrinQuillmarkEx Class"},
        {CLASS_KEY + "\\ProgID", "", "Quillmark.KestrinQuillmark.1"},
        {CLASS_KEY + "\\VersionIndependentProgID", "", "Quillmark.KestrinQuillmark"},
        {CLASS_KEY + "\\InprocServer32", "", module},
        {CLASS_KEY + "\\InprocServer32", "ThreadingModel", "Apartment"},
        {CLASS_KEY + "\\CtlSettings", "stubPath", "c:\\quillmarkStub\\"},
        {CLASS_KEY + "\\ToolboxBitmap32", "", module + ", 101"},
        {CLASS_KEY + "\\MiscStatus", "", "0"},
        {CLASS_KEY + "\\MiscStatus\\1", "", "131473"},
        {CLASS_KEY + "\\TypeLib", "", guidToString(qm::LIBID_QUILLMARKLib)},
        {CLASS_KEY + "\\Version", "", "1.0"},
        {"TypeLib\\" + guidToString(qm::LIBID_QUILLMARKLib) + "\\1.0", "", "MorvaneQuillmarkGEx 1.0 Type Library"},
        {"Interface\\" + guidToString(qm::IID_IKestrinQuillmark), "", "IKestrinQuillmark"},
    };
    for (const Entry& e : entries) {
        SCOPED_TRACE(e.key + " " + e.value);
        EXPECT_EQ(readString(hive(), e.key, e.value).value_or("<missing>"), e.data);
    }
    for (const char* empty : {"Programmable", "Control", "Insertable"}) {
        EXPECT_TRUE(keyExists(hive(), CLASS_KEY + "\\" + empty)) << empty;
    }
    registry::Key settings;
    ASSERT_EQ(hive().openKey(registry::Root::LocalMachine, qm::settingsKeyPath(), registry::KEY_READ, settings),
              registry::ERROR_SUCCESS);
    uint32_t maxsize = 0;
    EXPECT_EQ(settings.queryDword("maxsize", maxsize), registry::ERROR_SUCCESS);
    EXPECT_EQ(maxsize, 5000u);
}

TEST_F(ModuleTest, RegisteringAgainRestoresTheSettings) {
    ASSERT_EQ(DllRegisterServer(), S_OK);
    registry::Key settings;
    ASSERT_EQ(hive().openKey(registry::Root::LocalMachine, qm::settingsKeyPath(), registry::KEY_ALL_ACCESS, settings),
              registry::ERROR_SUCCESS);
    settings.setDword("maxsize", 1);
    settings.setString("extra", "administrator's");
    ASSERT_EQ(DllRegisterServer(), S_OK);
    uint32_t maxsize = 0;
    ASSERT_EQ(hive().openKey(registry::Root::LocalMachine, qm::settingsKeyPath(), registry::KEY_READ, settings),
              registry::ERROR_SUCCESS);
    EXPECT_EQ(settings.queryDword("maxsize", maxsize), registry::ERROR_SUCCESS);
    EXPECT_EQ(maxsize, 5000u);
    std::string extra;
    EXPECT_EQ(settings.queryString("extra", extra), registry::ERROR_FILE_NOT_FOUND);
}

TEST_F(ModuleTest, UnregistrationRemovesWhatRegistrationWrote) {
    // Another class beside ours must survive.
    registry::Key other;
    ASSERT_EQ(hive().createKey(registry::Root::ClassesRoot, "CLSID\\{00000000-1111-2222-3333-444444444444}",
                               registry::KEY_ALL_ACCESS, other),
              registry::ERROR_SUCCESS);
    ASSERT_EQ(DllRegisterServer(), S_OK);
    ASSERT_EQ(DllUnregisterServer(), S_OK);
    for (const std::string& gone : {std::string("Quillmark.KestrinQuillmark"), std::string("Quillmark.KestrinQuillmark.1"),
                                    CLASS_KEY, "TypeLib\\" + guidToString(qm::LIBID_QUILLMARKLib),
                                    "Interface\\" + guidToString(qm::IID_IKestrinQuillmark)}) {
        EXPECT_FALSE(keyExists(hive(), gone)) << gone;
    }
    EXPECT_TRUE(keyExists(hive(), "CLSID"));
    EXPECT_TRUE(keyExists(hive(), "CLSID\\{00000000-1111-2222-3333-444444444444}"));
    // Unregistering what is not registered is not an error.
    EXPECT_EQ(DllUnregisterServer(), S_OK);
}

TEST_F(ModuleTest, ClassFactoryAndUnloadCheck) {
    ASSERT_EQ(DllCanUnloadNow(), S_OK);
    com::Ptr<IClassFactory> factory;
    EXPECT_EQ(DllGetClassObject(qm::IID_IKestrinQuillmark, IID_IClassFactory, factory.out()), CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(DllGetClassObject(qm::CLSID_KestrinQuillmark, IID_IClassFactory, factory.out()), S_OK);
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the factory reference holds the module

    com::Ptr<IDispatch> object;
    EXPECT_EQ(factory->CreateInstance(factory.get(), IID_IDispatch, object.out()), CLASS_E_NOAGGREGATION);
    com::Ptr<IUnknown> unknown;
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IQuillmarkView, unknown.out()), S_OK);
    unknown.reset();
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IClassFactory, unknown.out()), E_NOINTERFACE);
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IDispatch, object.out()), S_OK);
    factory->LockServer(1);
    factory.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the object and the lock

    object.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_FALSE);  // the lock alone
    ASSERT_EQ(DllGetClassObject(qm::CLSID_KestrinQuillmark, IID_IClassFactory, factory.out()), S_OK);
    factory->LockServer(0);
    factory.reset();
    EXPECT_EQ(DllCanUnloadNow(), S_OK);
}

TEST_F(ControlTest, ObjectSafetyReportsBothOptions) {
    com::Ptr<IObjectSafety> safety;
    ASSERT_EQ(control()->QueryInterface(IID_IObjectSafety, safety.out()), S_OK);
    uint32_t supported = 0, enabled = 99;
    ASSERT_EQ(safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled), S_OK);
    EXPECT_EQ(supported, 3u);
    EXPECT_EQ(enabled, 0u);

    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 3, 3), S_OK);
    safety->GetInterfaceSafetyOptions(qm::IID_IKestrinQuillmark, &supported, &enabled);
    EXPECT_EQ(enabled, 3u);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 1, 1), S_OK);
    safety->GetInterfaceSafetyOptions(IID_IDispatch, &supported, &enabled);
    EXPECT_EQ(enabled, 1u);

    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 4, 4), E_FAIL);  // an option we do not know
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IDispatch, 7, 3), E_FAIL);
    EXPECT_EQ(safety->GetInterfaceSafetyOptions(IID_IClassFactory, &supported, &enabled), E_NOINTERFACE);
    EXPECT_EQ(safety->SetInterfaceSafetyOptions(IID_IClassFactory, 1, 1), E_NOINTERFACE);
}

TEST_F(ControlTest, DrawsItsFaceCentred) {
    com::Ptr<IQuillmarkView> view;
    ASSERT_EQ(control()->QueryInterface(IID_IQuillmarkView, view.out()), S_OK);
    ui::RecordingCanvas canvas;
    const ui::Rect bounds{0, 0, 200, 100};
    ASSERT_EQ(view->Draw(&canvas, &bounds), S_OK);
    ASSERT_EQ(canvas.operations.size(), 3u);
    EXPECT_EQ(canvas.operations[0].kind, "rectangle");
    EXPECT_EQ(canvas.operations[0].bounds, bounds);
    EXPECT_EQ(canvas.operations[1].align, ui::TA_CENTER | ui::TA_BASELINE);
    EXPECT_EQ(canvas.operations[2].x, 100);
    EXPECT_EQ(canvas.operations[2].y, 50);
    EXPECT_EQ(canvas.operations[2].text, "Welcome to KestrinQuillmark");
}

TEST(Resources, StringsAndVersionBlock) {
    EXPECT_EQ(resources::loadString(100).value_or(""), "Quillmark");
    EXPECT_TRUE(resources::loadString(102).has_value());
    EXPECT_FALSE(resources::loadString(101).has_value());
    const auto& version = resources::versionInfo();
    EXPECT_EQ(version.fileVersion[2], 44);
    EXPECT_EQ(version.fileFlags, resources::VS_FF_PRIVATEBUILD | resources::VS_FF_SPECIALBUILD);
    auto value = [&](std::string_view name) {
        for (const auto& [key, text] : version.strings) {
            if (key == name) return std::string(text);
        }
        return std::string("<missing>");
    };
    EXPECT_EQ(value("OriginalFilename"), "MorvaneQuillmarkGEx.DLL");
    EXPECT_EQ(value("PrivateBuild"), "Build 20080527");
    EXPECT_EQ(value("SpecialBuild"), "Quillmark for Morvane");
    EXPECT_EQ(value("OLESelfRegister"), "");
    ASSERT_NE(resources::dialogTemplate(203), nullptr);
    EXPECT_EQ(resources::dialogTemplate(203)->caption, "请选择您要用的证书");
    EXPECT_EQ(resources::dialogTemplate(104)->caption, "选择用于签名的个人证书");
    EXPECT_EQ(resources::toolboxBitmap().substr(0, 2), "BM");
    EXPECT_FALSE(resources::chooserIcon().empty());
}

}  // namespace
