// A small COM of our own: result codes, identifiers, automation strings and
// variants, and the abstract interfaces that a host and an in-process module
// share. The binary layout follows the published automation ABI closely enough
// that the method order of every interface is the real one.
#pragma once

#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

using HRESULT = int32_t;
using DISPID = int32_t;
using LCID = uint32_t;
using VARTYPE = uint16_t;
using VARIANT_BOOL = int16_t;
using BOOL = int32_t;
using OLECHAR = char16_t;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// Length-prefixed, NUL-terminated UTF-16. A null BSTR counts as an empty one.
using BSTR = OLECHAR*;

constexpr HRESULT hresultFromBits(uint32_t bits) { return static_cast<HRESULT>(bits); }

constexpr HRESULT S_OK = 0;
constexpr HRESULT S_FALSE = 1;
constexpr HRESULT E_NOTIMPL = hresultFromBits(0x80004001);
constexpr HRESULT E_NOINTERFACE = hresultFromBits(0x80004002);
constexpr HRESULT E_POINTER = hresultFromBits(0x80004003);
constexpr HRESULT E_FAIL = hresultFromBits(0x80004005);
constexpr HRESULT E_UNEXPECTED = hresultFromBits(0x8000FFFF);
constexpr HRESULT E_ACCESSDENIED = hresultFromBits(0x80070005);
constexpr HRESULT E_OUTOFMEMORY = hresultFromBits(0x8007000E);
constexpr HRESULT E_INVALIDARG = hresultFromBits(0x80070057);
constexpr HRESULT DISP_E_UNKNOWNINTERFACE = hresultFromBits(0x80020001);
constexpr HRESULT DISP_E_MEMBERNOTFOUND = hresultFromBits(0x80020003);
constexpr HRESULT DISP_E_PARAMNOTFOUND = hresultFromBits(0x80020004);
constexpr HRESULT DISP_E_TYPEMISMATCH = hresultFromBits(0x80020005);
constexpr HRESULT DISP_E_UNKNOWNNAME = hresultFromBits(0x80020006);
constexpr HRESULT DISP_E_NONAMEDARGS = hresultFromBits(0x80020007);
constexpr HRESULT DISP_E_BADVARTYPE = hresultFromBits(0x80020008);
constexpr HRESULT DISP_E_EXCEPTION = hresultFromBits(0x80020009);
constexpr HRESULT DISP_E_OVERFLOW = hresultFromBits(0x8002000A);
constexpr HRESULT DISP_E_BADINDEX = hresultFromBits(0x8002000B);
constexpr HRESULT DISP_E_BADPARAMCOUNT = hresultFromBits(0x8002000E);
constexpr HRESULT DISP_E_PARAMNOTOPTIONAL = hresultFromBits(0x8002000F);
constexpr HRESULT TYPE_E_REGISTRYACCESS = hresultFromBits(0x8002801C);
constexpr HRESULT TYPE_E_LIBNOTREGISTERED = hresultFromBits(0x8002801D);
constexpr HRESULT TYPE_E_ELEMENTNOTFOUND = hresultFromBits(0x8002802B);
constexpr HRESULT CLASS_E_NOAGGREGATION = hresultFromBits(0x80040110);
constexpr HRESULT CLASS_E_CLASSNOTAVAILABLE = hresultFromBits(0x80040111);
constexpr HRESULT REGDB_E_CLASSNOTREG = hresultFromBits(0x80040154);
constexpr HRESULT REGDB_E_READREGDB = hresultFromBits(0x80040150);
constexpr HRESULT REGDB_E_WRITEREGDB = hresultFromBits(0x80040151);
constexpr HRESULT CO_E_CLASSSTRING = hresultFromBits(0x800401F3);
constexpr HRESULT CO_E_DLLNOTFOUND = hresultFromBits(0x800401F8);
constexpr HRESULT CO_E_ERRORINDLL = hresultFromBits(0x800401F9);
constexpr HRESULT SELFREG_E_TYPELIB = hresultFromBits(0x80040200);
constexpr HRESULT SELFREG_E_CLASS = hresultFromBits(0x80040201);

constexpr bool SUCCEEDED(HRESULT hr) { return hr >= 0; }
constexpr bool FAILED(HRESULT hr) { return hr < 0; }
// A Win32 error code carried as an HRESULT (facility 7).
constexpr HRESULT HRESULT_FROM_WIN32(int32_t error) {
    return error <= 0 ? error : hresultFromBits((static_cast<uint32_t>(error) & 0xFFFF) | 0x80070000u);
}

struct GUID {
    uint32_t Data1 = 0;
    uint16_t Data2 = 0;
    uint16_t Data3 = 0;
    uint8_t Data4[8] = {};

    friend bool operator==(const GUID&, const GUID&) = default;
};
using IID = GUID;
using CLSID = GUID;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", upper case, as the registry holds it.
std::string guidToString(const GUID& guid);
// Accepts the braced form in either case; nullopt for anything else.
std::optional<GUID> guidFromString(std::string_view text);
std::u16string guidToWide(const GUID& guid);

inline constexpr IID IID_NULL{};
inline constexpr IID IID_IUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory{0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IDispatch{0x00020400, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IObjectSafety{0xCB5BDC81, 0x93C1, 0x11CF, {0x8F, 0x20, 0x00, 0x80, 0x5F, 0x2C, 0xD0, 0x64}};
// The standard automation marshaler, named as the proxy/stub of dual interfaces.
inline constexpr CLSID CLSID_PSOAInterface{0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// --- BSTR -----------------------------------------------------------------

BSTR SysAllocString(const OLECHAR* text);
BSTR SysAllocStringLen(const OLECHAR* text, uint32_t length);
void SysFreeString(BSTR text);
uint32_t SysStringLen(BSTR text);

// --- VARIANT --------------------------------------------------------------

enum : VARTYPE {
    VT_EMPTY = 0,
    VT_NULL = 1,
    VT_I2 = 2,
    VT_I4 = 3,
    VT_R8 = 5,
    VT_BSTR = 8,
    VT_DISPATCH = 9,
    VT_ERROR = 10,
    VT_BOOL = 11,
    VT_UNKNOWN = 13,
    VT_UI4 = 19,
    VT_INT = 22,
    VT_UINT = 23,
};

constexpr VARIANT_BOOL VARIANT_TRUE = -1;
constexpr VARIANT_BOOL VARIANT_FALSE = 0;

struct IUnknown;
struct IDispatch;

struct VARIANT {
    VARTYPE vt = VT_EMPTY;
    uint16_t wReserved1 = 0;
    uint16_t wReserved2 = 0;
    uint16_t wReserved3 = 0;
    union {
        int32_t lVal;
        uint32_t ulVal;
        int16_t iVal;
        double dblVal;
        VARIANT_BOOL boolVal;
        HRESULT scode;
        BSTR bstrVal;
        IUnknown* punkVal;
        IDispatch* pdispVal;
        int64_t llPadding;
    };
    VARIANT() : llPadding(0) {}
};

void VariantInit(VARIANT* v);
HRESULT VariantClear(VARIANT* v);
HRESULT VariantCopy(VARIANT* dest, const VARIANT* src);
// The coercions a host needs between the types above: numbers among
// themselves (rounding half to even, overflow reported), numbers and booleans
// to and from decimal text, empty and null to the zero value or a null string.
HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t flags, VARTYPE vt);

// --- Dispatch -------------------------------------------------------------

constexpr uint16_t DISPATCH_METHOD = 1;
constexpr uint16_t DISPATCH_PROPERTYGET = 2;
constexpr uint16_t DISPATCH_PROPERTYPUT = 4;
constexpr uint16_t DISPATCH_PROPERTYPUTREF = 8;
constexpr DISPID DISPID_UNKNOWN = -1;
constexpr DISPID DISPID_VALUE = 0;
constexpr DISPID DISPID_PROPERTYPUT = -3;

struct DISPPARAMS {
    VARIANT* rgvarg = nullptr;  // arguments in reverse order
    DISPID* rgdispidNamedArgs = nullptr;
    uint32_t cArgs = 0;
    uint32_t cNamedArgs = 0;
};

struct EXCEPINFO {
    uint16_t wCode = 0;
    uint16_t wReserved = 0;
    BSTR bstrSource = nullptr;
    BSTR bstrDescription = nullptr;
    BSTR bstrHelpFile = nullptr;
    uint32_t dwHelpContext = 0;
    void* pvReserved = nullptr;
    void* pfnDeferredFillIn = nullptr;
    HRESULT scode = 0;
};

struct ITypeInfo;  // not provided; GetTypeInfo answers E_NOTIMPL

// Interfaces carry no virtual destructor: the slot would change the method
// order. Objects end themselves in Release.
struct IUnknown {
    virtual HRESULT QueryInterface(const IID& riid, void** object) = 0;
    virtual uint32_t AddRef() = 0;
    virtual uint32_t Release() = 0;

protected:
    ~IUnknown() = default;
};

struct IDispatch : IUnknown {
    virtual HRESULT GetTypeInfoCount(uint32_t* count) = 0;
    virtual HRESULT GetTypeInfo(uint32_t index, LCID lcid, ITypeInfo** info) = 0;
    virtual HRESULT GetIDsOfNames(const IID& riid, LPOLESTR* names, uint32_t count, LCID lcid, DISPID* ids) = 0;
    virtual HRESULT Invoke(DISPID id, const IID& riid, LCID lcid, uint16_t flags, DISPPARAMS* params,
                           VARIANT* result, EXCEPINFO* exception, uint32_t* argError) = 0;

protected:
    ~IDispatch() = default;
};

struct IClassFactory : IUnknown {
    virtual HRESULT CreateInstance(IUnknown* outer, const IID& riid, void** object) = 0;
    virtual HRESULT LockServer(BOOL lock) = 0;

protected:
    ~IClassFactory() = default;
};

constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_CALLER = 0x1;
constexpr uint32_t INTERFACESAFE_FOR_UNTRUSTED_DATA = 0x2;

struct IObjectSafety : IUnknown {
    virtual HRESULT GetInterfaceSafetyOptions(const IID& riid, uint32_t* supported, uint32_t* enabled) = 0;
    virtual HRESULT SetInterfaceSafetyOptions(const IID& riid, uint32_t mask, uint32_t enabled) = 0;

protected:
    ~IObjectSafety() = default;
};

// Module entry points, as a host looks them up in an in-process server.
using DllGetClassObjectFn = HRESULT (*)(const CLSID& clsid, const IID& riid, void** object);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();
using DllUnregisterServerFn = HRESULT (*)();
