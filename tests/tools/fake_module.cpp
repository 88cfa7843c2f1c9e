// A small in-process server for the host's tests: one class, registered under
// the ProgIDs "Fake.Object", "Fake.Object.1" and "Fake.Versioned" (CurVer
// only), whose object has a few members that show what the host passes and
// what it does with results:
//
//   Echo(text)      returns its argument as a string
//   Describe(...)   the type and value of each argument, in call order
//   Count           a long property, get and put
//   Broken()        answers E_NOTIMPL
//   Make(kind)      a result of the kind named ("null", "empty", "i4", "ui4",
//                   "r8", "true", "text", "child": a new object)
//   Confirm(text)   asks a Yes/No question through the platform's interface
//
// QUILLMARK_FAKE_SAFETY=absent makes the object deny IObjectSafety;
// =refuse makes it refuse the options a browser asks for.
// DllCanUnloadNow reports objects that are still alive on standard error, so
// a test sees a host that forgot to release one.

#include <dlfcn.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/codepage/codepage.h"
#include "platform/com/com.h"
#include "platform/com/owners.h"
#include "platform/context/context.h"

namespace {

constexpr CLSID CLSID_FakeObject{0x6B1E52C4, 0x0D7A, 0x4E11, {0x9A, 0x3C, 0x51, 0x2F, 0x77, 0x0B, 0xC4, 0x18}};

enum : DISPID { ID_ECHO = 1, ID_DESCRIBE, ID_COUNT, ID_BROKEN, ID_MAKE, ID_CONFIRM };

struct Member {
    const char16_t* name;
    DISPID id;
};
constexpr Member MEMBERS[] = {
    {u"Echo", ID_ECHO},     {u"Describe", ID_DESCRIBE}, {u"Count", ID_COUNT},
    {u"Broken", ID_BROKEN}, {u"Make", ID_MAKE},         {u"Confirm", ID_CONFIRM},
};

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};

std::string safetyMode() {
    const char* mode = std::getenv("QUILLMARK_FAKE_SAFETY");
    return mode ? mode : "";
}

std::u16string textOf(const VARIANT& v) {
    if (v.vt == VT_BSTR && v.bstrVal) return std::u16string(v.bstrVal, SysStringLen(v.bstrVal));
    return {};
}

// The caller hands over an empty result; it owns what is put there.
void returnText(VARIANT* result, std::u16string_view text) {
    if (result) *result = com::Variant(com::Bstr(text)).detach();
}

std::u16string widen(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }

std::string describe(const VARIANT& v) {
    char number[64];
    switch (v.vt) {
        case VT_EMPTY: return "EMPTY";
        case VT_NULL: return "NULL";
        case VT_I4: std::snprintf(number, sizeof number, "I4(%d)", v.lVal); return number;
        case VT_UI4: std::snprintf(number, sizeof number, "UI4(%u)", v.ulVal); return number;
        case VT_R8: std::snprintf(number, sizeof number, "R8(%g)", v.dblVal); return number;
        case VT_BOOL: std::snprintf(number, sizeof number, "BOOL(%d)", v.boolVal); return number;
        case VT_DISPATCH: return v.pdispVal ? "DISPATCH" : "DISPATCH(null)";
        case VT_BSTR: {
            std::string units = "BSTR[";
            const std::u16string text = textOf(v);
            for (size_t i = 0; i < text.size(); ++i) {
                std::snprintf(number, sizeof number, i ? " %04x" : "%04x", static_cast<unsigned>(text[i]));
                units += number;
            }
            return units + "]";
        }
        default: std::snprintf(number, sizeof number, "VT(%u)", v.vt); return number;
    }
}

class FakeObject final : public IDispatch, public IObjectSafety {
public:
    FakeObject() { ++g_objects; }

    HRESULT QueryInterface(const IID& riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid == IID_IUnknown || riid == IID_IDispatch) {
            *object = static_cast<IDispatch*>(this);
        } else if (riid == IID_IObjectSafety && safetyMode() != "absent") {
            *object = static_cast<IObjectSafety*>(this);
        } else {
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    uint32_t AddRef() override { return ++references_; }
    uint32_t Release() override {
        const uint32_t left = --references_;
        if (left == 0) delete this;
        return left;
    }

    HRESULT GetTypeInfoCount(uint32_t* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT GetTypeInfo(uint32_t, LCID, ITypeInfo**) override { return E_NOTIMPL; }

    HRESULT GetIDsOfNames(const IID&, LPOLESTR* names, uint32_t count, LCID, DISPID* ids) override {
        if (!names || !ids || count != 1) return E_INVALIDARG;
        for (const Member& member : MEMBERS) {
            if (std::u16string_view(member.name) == std::u16string_view(names[0])) {
                ids[0] = member.id;
                return S_OK;
            }
        }
        ids[0] = DISPID_UNKNOWN;
        return DISP_E_UNKNOWNNAME;
    }

    HRESULT Invoke(DISPID id, const IID&, LCID, uint16_t flags, DISPPARAMS* params, VARIANT* result, EXCEPINFO*,
                   uint32_t*) override {
        if (!params) return E_POINTER;
        if (id == ID_COUNT) return count(flags, *params, result);
        if (flags != DISPATCH_METHOD) return DISP_E_MEMBERNOTFOUND;
        // Arguments arrive last first.
        const auto argument = [params](uint32_t n) -> const VARIANT& {
            static const VARIANT missing;
            return n < params->cArgs ? params->rgvarg[params->cArgs - 1 - n] : missing;
        };
        switch (id) {
            case ID_ECHO:
                returnText(result, textOf(argument(0)));
                return S_OK;
            case ID_DESCRIBE: {
                std::string text;
                for (uint32_t n = 0; n < params->cArgs; ++n) text += (n ? " " : "") + describe(argument(n));
                returnText(result, widen(text));
                return S_OK;
            }
            case ID_BROKEN:
                return E_NOTIMPL;
            case ID_MAKE:
                return make(textOf(argument(0)), result);
            case ID_CONFIRM: {
                ui::MessageBoxRequest request;
                request.text = codepage::ansiFromWide(textOf(argument(0)));
                request.caption = "Fake";
                request.buttons = ui::Buttons::YesNo;
                request.icon = ui::Icon::Question;
                const ui::Button button = platform::context().ui().messageBox(request);
                returnText(result, button == ui::Button::Yes ? u"yes" : u"no");
                return S_OK;
            }
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
    }

    HRESULT GetInterfaceSafetyOptions(const IID&, uint32_t* supported, uint32_t* enabled) override {
        if (!supported || !enabled) return E_POINTER;
        *supported = INTERFACESAFE_FOR_UNTRUSTED_CALLER | INTERFACESAFE_FOR_UNTRUSTED_DATA;
        *enabled = safety_;
        return S_OK;
    }
    HRESULT SetInterfaceSafetyOptions(const IID&, uint32_t mask, uint32_t enabled) override {
        if (safetyMode() == "refuse") return E_FAIL;
        safety_ = (safety_ & ~mask) | (enabled & mask);
        return S_OK;
    }

private:
    ~FakeObject() { --g_objects; }

    HRESULT count(uint16_t flags, const DISPPARAMS& params, VARIANT* result) {
        if (flags == DISPATCH_PROPERTYGET) {
            if (result) *result = com::Variant(count_).detach();
            return S_OK;
        }
        if (flags == DISPATCH_PROPERTYPUT) {
            // A put carries its value as the one named argument DISPID_PROPERTYPUT.
            if (params.cArgs != 1 || params.cNamedArgs != 1 || !params.rgdispidNamedArgs ||
                params.rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
                return DISP_E_PARAMNOTFOUND;
            }
            com::Variant value;
            const HRESULT hr = VariantChangeType(value.get(), &params.rgvarg[0], 0, VT_I4);
            if (FAILED(hr)) return hr;
            count_ = value.get()->lVal;
            return S_OK;
        }
        return DISP_E_MEMBERNOTFOUND;
    }

    static HRESULT make(const std::u16string& kind, VARIANT* result) {
        com::Variant made;
        VARIANT* v = made.get();
        if (kind == u"empty") {
        } else if (kind == u"null") {
            v->vt = VT_NULL;
        } else if (kind == u"i4") {
            v->vt = VT_I4;
            v->lVal = -5;
        } else if (kind == u"ui4") {
            v->vt = VT_UI4;
            v->ulVal = 4294967295u;
        } else if (kind == u"r8") {
            v->vt = VT_R8;
            v->dblVal = 2.5;
        } else if (kind == u"true") {
            v->vt = VT_BOOL;
            v->boolVal = VARIANT_TRUE;
        } else if (kind == u"text") {
            made = com::Variant(com::Bstr(u"\u4e2d\u6587\U0001F600"));
        } else if (kind == u"child") {
            v->vt = VT_DISPATCH;
            v->pdispVal = new FakeObject();
            v->pdispVal->AddRef();
        } else {
            return E_INVALIDARG;
        }
        if (result) *result = made.detach();
        return S_OK;
    }

    std::atomic<uint32_t> references_{0};
    int32_t count_ = 0;
    uint32_t safety_ = 0;
};

class Factory final : public IClassFactory {
public:
    HRESULT QueryInterface(const IID& riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory) return E_NOINTERFACE;
        *object = static_cast<IClassFactory*>(this);
        return S_OK;
    }
    // The factory lives as long as the module.
    uint32_t AddRef() override { return 2; }
    uint32_t Release() override { return 1; }

    HRESULT CreateInstance(IUnknown* outer, const IID& riid, void** object) override {
        if (!object) return E_POINTER;
        *object = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        auto* created = new FakeObject();
        created->AddRef();
        const HRESULT hr = created->QueryInterface(riid, object);
        created->Release();
        return hr;
    }
    HRESULT LockServer(BOOL lock) override {
        if (lock) {
            ++g_locks;
        } else {
            --g_locks;
        }
        return S_OK;
    }
};

Factory g_factory;

std::string modulePath() {
    Dl_info info{};
    if (!dladdr(reinterpret_cast<void*>(&modulePath), &info) || !info.dli_fname) return {};
    return info.dli_fname;
}

bool setDefault(const std::string& subKey, const std::string& value) {
    registry::Key key;
    return platform::context().registry().createKey(registry::Root::ClassesRoot, subKey, registry::KEY_WRITE, key) ==
               registry::ERROR_SUCCESS &&
           key.setString("", value) == registry::ERROR_SUCCESS;
}

}  // namespace

extern "C" {

HRESULT DllGetClassObject(const CLSID& clsid, const IID& riid, void** object) {
    if (!object) return E_POINTER;
    *object = nullptr;
    if (clsid != CLSID_FakeObject) return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, object);
}

HRESULT DllCanUnloadNow() {
    const long alive = g_objects.load();
    if (alive == 0 && g_locks.load() == 0) return S_OK;
    std::fprintf(stderr, "fake module: %ld object(s) still alive\n", alive);
    return S_FALSE;
}

HRESULT DllRegisterServer() {
    const std::string clsid = guidToString(CLSID_FakeObject);
    const bool written = setDefault("Fake.Object\\CLSID", clsid) && setDefault("Fake.Object\\CurVer", "Fake.Object.1") &&
                         setDefault("Fake.Object.1\\CLSID", clsid) &&
                         setDefault("Fake.Versioned\\CurVer", "Fake.Object.1") &&
                         setDefault("CLSID\\" + clsid + "\\InprocServer32", modulePath());
    return written ? S_OK : SELFREG_E_CLASS;
}

HRESULT DllUnregisterServer() {
    auto& hive = platform::context().registry();
    for (const char* key : {"Fake.Object", "Fake.Object.1", "Fake.Versioned"}) {
        hive.deleteKeyTree(registry::Root::ClassesRoot, key);
    }
    hive.deleteKeyTree(registry::Root::ClassesRoot, "CLSID\\" + guidToString(CLSID_FakeObject));
    return S_OK;
}

}  // extern "C"
