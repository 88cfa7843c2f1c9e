#include "control/dispatch_table.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <initializer_list>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/com/owners.h"

namespace qm {

namespace {

// --- Calling a member through its pointer ----------------------------------

// Storage for the one [out, retval] parameter a member may have.
struct Retval {
    BSTR text = nullptr;
    int32_t number = 0;
    uint32_t unsignedNumber = 0;
};

template <class T>
struct Arg;

template <>
struct Arg<BSTR> {
    static constexpr ParamType type = ParamType::Bstr;
    static BSTR get(VARIANT* args, size_t i, Retval&) { return args[i].bstrVal; }
};
template <>
struct Arg<int32_t> {
    static constexpr ParamType type = ParamType::Long;
    static int32_t get(VARIANT* args, size_t i, Retval&) { return args[i].lVal; }
};
template <>
struct Arg<uint32_t> {
    static constexpr ParamType type = ParamType::ULong;
    static uint32_t get(VARIANT* args, size_t i, Retval&) { return args[i].ulVal; }
};
template <>
struct Arg<BSTR*> {
    static constexpr ParamType type = ParamType::Bstr;
    static BSTR* get(VARIANT*, size_t, Retval& r) { return &r.text; }
    static void store(Retval& r, VARIANT* result) {
        if (result) {
            result->vt = VT_BSTR;
            result->bstrVal = std::exchange(r.text, nullptr);
        } else {
            SysFreeString(std::exchange(r.text, nullptr));
        }
    }
};
template <>
struct Arg<int32_t*> {
    static constexpr ParamType type = ParamType::Long;
    static int32_t* get(VARIANT*, size_t, Retval& r) { return &r.number; }
    static void store(Retval& r, VARIANT* result) {
        if (result) {
            result->vt = VT_I4;
            result->lVal = r.number;
        }
    }
};
template <>
struct Arg<uint32_t*> {
    static constexpr ParamType type = ParamType::ULong;
    static uint32_t* get(VARIANT*, size_t, Retval& r) { return &r.unsignedNumber; }
    static void store(Retval& r, VARIANT* result) {
        if (result) {
            result->vt = VT_UI4;
            result->ulVal = r.unsignedNumber;
        }
    }
};

template <class... Args, size_t... I>
HRESULT callWith(IKestrinQuillmark* object, HRESULT (IKestrinQuillmark::*method)(Args...), [[maybe_unused]] VARIANT* args,
                 [[maybe_unused]] VARIANT* result, std::index_sequence<I...>) {
    // A retval parameter takes no argument: `args` may be empty then, and is
    // only indexed for the inputs.
    Retval retval;
    const HRESULT hr = (object->*method)(Arg<Args>::get(args, I, retval)...);
    if (FAILED(hr)) {
        SysFreeString(retval.text);
        return hr;
    }
    if constexpr (sizeof...(Args) > 0) {
        using Last = std::tuple_element_t<sizeof...(Args) - 1, std::tuple<Args...>>;
        if constexpr (requires { &Arg<Last>::store; }) Arg<Last>::store(retval, result);
    }
    return hr;
}

template <class... Args>
HRESULT callMember(IKestrinQuillmark* object, HRESULT (IKestrinQuillmark::*method)(Args...), VARIANT* args,
                   VARIANT* result) {
    return callWith(object, method, args, result, std::index_sequence_for<Args...>{});
}

template <auto Method>
HRESULT thunk(IKestrinQuillmark* object, VARIANT* args, VARIANT* result) {
    return callMember(object, Method, args, result);
}

struct Name {
    std::string_view name;
    ParamDirection direction;
};

template <class... Args>
std::vector<ParamInfo> describe(HRESULT (IKestrinQuillmark::*)(Args...), std::initializer_list<Name> names) {
    constexpr std::array<ParamType, sizeof...(Args)> types{Arg<Args>::type...};
    std::vector<ParamInfo> params;
    size_t i = 0;
    for (const Name& name : names) {
        // A name without a parameter to go with it is caught by the table's
        // own test; here it just gets the string type.
        params.push_back({name.name, name.direction, i < types.size() ? types[i] : ParamType::Bstr});
        ++i;
    }
    return params;
}

constexpr ParamDirection IN = ParamDirection::In;
constexpr ParamDirection NONE = ParamDirection::None;
constexpr ParamDirection RETVAL = ParamDirection::OutRetval;

#define QM_MEMBER(ID, KIND, NAME, METHOD, ...)                                                                  \
    MemberInfo {                                                                                                \
        ID, MemberKind::KIND, NAME, describe(&IKestrinQuillmark::METHOD, {__VA_ARGS__}),                       \
            &thunk<&IKestrinQuillmark::METHOD>                                                                  \
    }

std::vector<MemberInfo> buildTable() {
    return {
        QM_MEMBER(1, Method, "makeAttachedSign", makeAttachedSign),
        QM_MEMBER(2, PropertyGet, "attachedSign", get_attachedSign, {"pVal", RETVAL}),
        QM_MEMBER(3, PropertyGet, "detachedSign", get_detachedSign, {"pVal", RETVAL}),
        QM_MEMBER(4, Method, "addFormItem", addFormItem, {"formItem", NONE}),
        QM_MEMBER(5, Method, "addFileName", addFileName, {"__MIDL_0011", NONE}),
        QM_MEMBER(6, Method, "makeDetachedSign", makeDetachedSign),
        QM_MEMBER(10, PropertyPut, "defaultDN", put_defaultDN, {"", IN}),
        QM_MEMBER(11, PropertyGet, "errorNum", get_errorNum, {"pVal", RETVAL}),
        QM_MEMBER(12, Method, "showPlainText", showPlainText),
        QM_MEMBER(13, Method, "verifyAttachedSign", verifyAttachedSign, {"swSign", NONE}, {"savePlain", NONE}),
        QM_MEMBER(14, PropertyGet, "signerDN", get_signerDN, {"pVal", RETVAL}),
        QM_MEMBER(15, PropertyPut, "defaultDNRecv", put_defaultDNRecv, {"", IN}),
        QM_MEMBER(16, Method, "makeSignAndEncryptEnvelop", makeSignAndEncryptEnvelop),
        QM_MEMBER(17, PropertyGet, "signAndEncryptEnvelop", get_signAndEncryptEnvelop, {"pVal", RETVAL}),
        QM_MEMBER(18, PropertyGet, "signsPlaintextBase64", get_signsPlaintextBase64, {"pVal", RETVAL}),
        QM_MEMBER(19, PropertyGet, "signsHashBase64", get_signsHashBase64, {"pVal", RETVAL}),
        QM_MEMBER(20, Method, "hash1Base64", hash1Base64, {"swPlain", NONE}),
        QM_MEMBER(21, PropertyGet, "hash1Base64Result", get_hash1Base64Result, {"pVal", RETVAL}),
        QM_MEMBER(25, PropertyPut, "base64In", put_base64In, {"", IN}),
        QM_MEMBER(26, PropertyGet, "base64Out", get_base64Out, {"pVal", RETVAL}),
        QM_MEMBER(27, Method, "Base64Encode", Base64Encode),
        QM_MEMBER(28, Method, "Base64Decode", Base64Decode),
        QM_MEMBER(29, Method, "getVersion", getVersion, {"pVersion", RETVAL}),
        QM_MEMBER(30, Method, "QMBase64Encode", QMBase64Encode, {"base64ToBeEncodedText", IN}, {"pVal", RETVAL}),
        QM_MEMBER(31, Method, "QMBase64Decode", QMBase64Decode, {"base64ToBeDecodedText", IN}, {"pVal", RETVAL}),
        QM_MEMBER(32, Method, "QMHashAndBase64Encode", QMHashAndBase64Encode, {"plainText", IN}, {"pVal", RETVAL}),
        QM_MEMBER(33, Method, "QMDetachedSign", QMDetachedSign, {"plainText", IN}, {"deSignerDN", IN},
                  {"pVal", RETVAL}),
        QM_MEMBER(34, Method, "QMDetachedVerify", QMDetachedVerify, {"signedMsg", IN}, {"plainText", IN}),
        QM_MEMBER(35, Method, "QMAddFile", QMAddFile, {"fileName", IN}),
        QM_MEMBER(36, Method, "QMAddFormItem", QMAddFormItem, {"itemContent", IN}),
        QM_MEMBER(37, Method, "QMGetFile", QMGetFile, {"pVal", RETVAL}),
        QM_MEMBER(38, Method, "QMGetFormItem", QMGetFormItem, {"pVal", RETVAL}),
        QM_MEMBER(39, Method, "QMSetPlainText", QMSetPlainText, {"plainText", IN}),
        QM_MEMBER(40, Method, "QMGetPlainText", QMGetPlainText, {"pVal", RETVAL}),
        QM_MEMBER(41, Method, "QMAttachedSign", QMAttachedSign, {"deSignerDN", IN}, {"pVal", RETVAL}),
        QM_MEMBER(42, Method, "QMAttachedVerify", QMAttachedVerify, {"signedMsg", IN}),
        QM_MEMBER(43, Method, "QMEncryptedEnvelop", QMEncryptedEnvelop, {"deReciptDN", IN}, {"pVal", RETVAL}),
        QM_MEMBER(44, Method, "QMDecryptEnvelop", QMDecryptEnvelop, {"envelopedMsg", IN}),
        QM_MEMBER(45, Method, "QMSignedAndEncryptedEnvelop", QMSignedAndEncryptedEnvelop, {"deSignerDN", IN},
                  {"deReciptDN", IN}, {"pVal", RETVAL}),
        QM_MEMBER(46, Method, "QMDecryptedAndVerifiedEnvelop", QMDecryptedAndVerifiedEnvelop,
                  {"signedAndEnvelopedMsg", IN}),
        QM_MEMBER(47, Method, "QMGetSignerCertInfo", QMGetSignerCertInfo, {"type", IN}, {"pVal", RETVAL}),
        QM_MEMBER(48, Method, "QMGetReciptCertInfo", QMGetReciptCertInfo, {"type", IN}, {"pVal", RETVAL}),
        QM_MEMBER(49, PropertyGet, "errMsg", get_errMsg, {"pVal", RETVAL}),
        QM_MEMBER(50, PropertyPut, "QMServerMode", put_QMServerMode, {"", IN}),
        QM_MEMBER(51, Method, "QMAttachedSignBySN", QMAttachedSignBySN, {"deSignerSN", IN}, {"pVal", RETVAL}),
        QM_MEMBER(52, Method, "QMAttachedSignByIssuerSN", QMAttachedSignByIssuerSN, {"deSignerSN", IN},
                  {"IssuerDN", IN}, {"pVal", RETVAL}),
        QM_MEMBER(53, Method, "QMDetachedSignBySN", QMDetachedSignBySN, {"plainText", IN}, {"deSignerSN", IN},
                  {"pVal", RETVAL}),
        QM_MEMBER(54, Method, "QMDetachedSignByIssuerSN", QMDetachedSignByIssuerSN, {"plainText", IN},
                  {"deSignerSN", IN}, {"IssuerDN", IN}, {"pVal", RETVAL}),
        QM_MEMBER(55, Method, "IsCertExists", IsCertExists, {"DN", IN}, {"pdwRet", RETVAL}),
        QM_MEMBER(56, Method, "QMEnumCertsDNByIssers", QMEnumCertsDNByIssers, {"IssersDN", IN}, {"CertsDN", RETVAL}),
        QM_MEMBER(57, PropertyGet, "MaxSignSize", get_MaxSignSize, {"pVal", RETVAL}),
        QM_MEMBER(57, PropertyPut, "MaxSignSize", put_MaxSignSize, {"", IN}),
        QM_MEMBER(58, PropertyGet, "MaxCompSize", get_MaxCompSize, {"pVal", RETVAL}),
        QM_MEMBER(58, PropertyPut, "MaxCompSize", put_MaxCompSize, {"", IN}),
        QM_MEMBER(59, PropertyPut, "DNspliter", put_DNspliter, {"", IN}),
        QM_MEMBER(60, PropertyPut, "plainTextForDetachedSign", put_plainTextForDetachedSign, {"", IN}),
        QM_MEMBER(61, Method, "QMSetWarningMsg", QMSetWarningMsg, {"szMsg", NONE}),
        QM_MEMBER(62, Method, "QMSetCSPHashMsg", QMSetCSPHashMsg, {"szMsg", NONE}),
        QM_MEMBER(63, Method, "QMSetKeyHashMsg", QMSetKeyHashMsg, {"szMsg", NONE}),
        QM_MEMBER(64, Method, "QMAdvFendrelAttachedSign", QMAdvFendrelAttachedSign, {"deSignerDN", IN},
                  {"pVal", RETVAL}),
        QM_MEMBER(65, Method, "QMSetUserFileName", QMSetUserFileName, {"szFileName", NONE}),
        QM_MEMBER(66, Method, "QMAdvFendrelAfterwardsVerify", QMAdvFendrelAfterwardsVerify, {"signedMsg", IN}),
        QM_MEMBER(67, Method, "QMGetAdvFendrelPlainText", QMGetAdvFendrelPlainText, {"type", IN}, {"pVal", RETVAL}),
        QM_MEMBER(68, Method, "QMFileHashAndBase64Encode", QMFileHashAndBase64Encode, {"fileName", IN},
                  {"pVal", RETVAL}),
    };
}

#undef QM_MEMBER

bool equalsIgnoringCase(std::u16string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i];
        char y = b[i];
        if (x >= u'A' && x <= u'Z') x = static_cast<char16_t>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != static_cast<char16_t>(static_cast<unsigned char>(y))) return false;
    }
    return true;
}

std::u16string_view viewOf(LPOLESTR text) {
    if (!text) return {};
    size_t n = 0;
    while (text[n] != 0) ++n;
    return {text, n};
}

// Arguments converted to what the member takes. Strings that arrive as
// strings are passed through without a copy.
HRESULT convertArgument(const VARIANT& in, ParamType type, VARIANT& out) {
    if (type == ParamType::Bstr) {
        if (in.vt == VT_BSTR) {
            out.vt = VT_BSTR;
            out.bstrVal = in.bstrVal;  // borrowed: see release below
            return S_OK;
        }
        // Script's null, undefined and a missing argument reach the member
        // as a null string.
        if (in.vt == VT_EMPTY || in.vt == VT_NULL || (in.vt == VT_ERROR && in.scode == DISP_E_PARAMNOTFOUND)) {
            out.vt = VT_BSTR;
            out.bstrVal = nullptr;
            return S_OK;
        }
        return VariantChangeType(&out, &in, 0, VT_BSTR);
    }
    if (in.vt == VT_ERROR && in.scode == DISP_E_PARAMNOTFOUND) {
        out.vt = type == ParamType::Long ? VT_I4 : VT_UI4;
        out.lVal = 0;
        return S_OK;
    }
    return VariantChangeType(&out, &in, 0, type == ParamType::Long ? VT_I4 : VT_UI4);
}

}  // namespace

size_t MemberInfo::inputCount() const { return params.size() - (hasRetval() ? 1 : 0); }

const std::vector<MemberInfo>& memberTable() {
    static const std::vector<MemberInfo> table = buildTable();
    return table;
}

HRESULT getIDsOfNames(std::span<const LPOLESTR> names, DISPID* ids) {
    if (names.empty()) return S_OK;
    if (!ids) return E_POINTER;
    for (size_t i = 0; i < names.size(); ++i) ids[i] = DISPID_UNKNOWN;
    const std::u16string_view wanted = viewOf(names[0]);
    const MemberInfo* found = nullptr;
    for (const MemberInfo& member : memberTable()) {
        if (equalsIgnoringCase(wanted, member.name)) {
            found = &member;
            break;
        }
    }
    if (!found) return DISP_E_UNKNOWNNAME;
    ids[0] = found->dispid;
    HRESULT hr = S_OK;
    for (size_t i = 1; i < names.size(); ++i) {
        const std::u16string_view param = viewOf(names[i]);
        for (size_t p = 0; p < found->inputCount(); ++p) {
            if (!found->params[p].name.empty() && equalsIgnoringCase(param, found->params[p].name)) {
                ids[i] = static_cast<DISPID>(p);
            }
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT invokeMember(IKestrinQuillmark* object, DISPID id, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* /*exception*/, uint32_t* argError) {
    if (!params) return E_INVALIDARG;
    if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;

    const MemberInfo* member = nullptr;
    for (const MemberInfo& candidate : memberTable()) {
        if (candidate.dispid != id) continue;
        const bool fits = put ? candidate.kind == MemberKind::PropertyPut
                              : ((flags & DISPATCH_METHOD) && candidate.kind == MemberKind::Method) ||
                                    ((flags & DISPATCH_PROPERTYGET) && candidate.kind == MemberKind::PropertyGet);
        if (fits) {
            member = &candidate;
            break;
        }
    }
    if (!member) return DISP_E_MEMBERNOTFOUND;

    // A put carries its value as the one named argument DISPID_PROPERTYPUT;
    // nothing else may be named.
    if (put) {
        if (params->cNamedArgs != 1 || !params->rgdispidNamedArgs ||
            params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT) {
            return DISP_E_PARAMNOTOPTIONAL;
        }
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
    } else if (params->cNamedArgs != 0) {
        return DISP_E_NONAMEDARGS;
    }

    const size_t wanted = member->inputCount();
    if (params->cArgs > wanted) return DISP_E_BADPARAMCOUNT;

    // Converted arguments in signature order. Pages of the first generation
    // call members with fewer arguments than they take; what is missing
    // arrives as a null string or zero.
    std::vector<VARIANT> args(wanted);
    std::vector<bool> owned(wanted, false);
    auto release = [&] {
        for (size_t i = 0; i < wanted; ++i) {
            if (owned[i]) VariantClear(&args[i]);
        }
    };
    for (size_t i = 0; i < wanted; ++i) {
        VARIANT missing;
        missing.vt = VT_ERROR;
        missing.scode = DISP_E_PARAMNOTFOUND;
        const bool present = i < params->cArgs;
        const VARIANT& in = present ? params->rgvarg[params->cArgs - 1 - i] : missing;
        const HRESULT hr = convertArgument(in, member->params[i].type, args[i]);
        if (FAILED(hr)) {
            release();
            if (argError) *argError = static_cast<uint32_t>(params->cArgs - 1 - i);
            return hr == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
        }
        owned[i] = !(in.vt == VT_BSTR && member->params[i].type == ParamType::Bstr) && args[i].vt == VT_BSTR;
    }

    if (result) VariantInit(result);
    const HRESULT hr = member->call(object, args.data(), member->hasRetval() ? result : nullptr);
    release();
    return hr;
}

namespace {

const char* typeName(ParamType type) {
    switch (type) {
        case ParamType::Bstr:
            return "BSTR";
        case ParamType::Long:
            return "long";
        case ParamType::ULong:
            return "unsigned long";
    }
    return "BSTR";
}

std::string describeMember(const MemberInfo& m) {
    std::string line = "\t[";
    if (m.kind == MemberKind::PropertyGet) line += "propget, ";
    if (m.kind == MemberKind::PropertyPut) line += "propput, ";
    char id[16];
    std::snprintf(id, sizeof id, "id(%d)", static_cast<int>(m.dispid));
    line += id;
    line += ", helpstring(\"";
    line += m.kind == MemberKind::Method ? "method " : "property ";
    line += m.name;
    line += "\")] HRESULT ";
    line += m.name;
    line += "(";
    for (size_t i = 0; i < m.params.size(); ++i) {
        const ParamInfo& p = m.params[i];
        if (i > 0) line += ", ";
        if (p.direction == ParamDirection::In) line += "[in] ";
        if (p.direction == ParamDirection::OutRetval) line += "[out, retval] ";
        line += typeName(p.type);
        if (p.direction == ParamDirection::OutRetval) line += "*";
        if (!p.name.empty()) {
            line += " ";
            line += p.name;
        }
    }
    line += ");\n";
    return line;
}

}  // namespace

std::string describeTypeLibrary() {
    const std::string lib = guidToString(LIBID_QUILLMARKLib).substr(1, 36);
    const std::string itf = guidToString(IID_IKestrinQuillmark).substr(1, 36);
    const std::string events = guidToString(DIID__IKestrinQuillmarkEvents).substr(1, 36);
    const std::string cls = guidToString(CLSID_KestrinQuillmark).substr(1, 36);

    std::string idl;
    idl += "// QUILLMARKLib: the type library of the KestrinQuillmark control.\n";
    idl += "// Kept in step with the control's member table (src/control/dispatch_table.cpp):\n";
    idl += "// the control's tests compare the two.\n\n";
    idl += "import \"oaidl.idl\";\nimport \"ocidl.idl\";\n\n";
    idl += "[\n\tobject,\n\tuuid(" + itf + "),\n\tdual,\n\tnonextensible,\n";
    idl += "\thelpstring(\"IKestrinQuillmark Interface\"),\n\tpointer_default(unique)\n]\n";
    idl += "interface IKestrinQuillmark : IDispatch\n{\n";
    for (const MemberInfo& member : memberTable()) idl += describeMember(member);
    idl += "};\n\n";
    idl += "[\n\tuuid(" + lib + "),\n\tversion(1.0),\n";
    idl += "\thelpstring(\"MorvaneQuillmarkGEx 1.0 Type Library\")\n]\n";
    idl += "library QUILLMARKLib\n{\n\timportlib(\"stdole2.tlb\");\n\n";
    idl += "\t[\n\t\tuuid(" + events + "),\n\t\thelpstring(\"_IKestrinQuillmarkEvents Interface\")\n\t]\n";
    idl += "\tdispinterface _IKestrinQuillmarkEvents\n\t{\n\t\tproperties:\n\t\tmethods:\n\t};\n\n";
    idl += "\t[\n\t\tuuid(" + cls + "),\n\t\thelpstring(\"KestrinQuillmarkEx Class\")\n\t]\n";
    idl += "\tcoclass KestrinQuillmark\n\t{\n\t\t[default] interface IKestrinQuillmark;\n";
    idl += "\t\t[default, source] dispinterface _IKestrinQuillmarkEvents;\n\t};\n};\n";
    return idl;
}

}  // namespace qm
