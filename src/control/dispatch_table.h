// One table describes every member of IKestrinQuillmark: its dispatch
// identifier, kind, name and parameters, and how to call it. Name lookup,
// invocation from script and the type library description all read it, so
// they cannot drift apart.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "control/ikestrin_quillmark.h"

namespace qm {

enum class MemberKind { Method, PropertyGet, PropertyPut };
enum class ParamType { Bstr, Long, ULong };
// None: the type library gives the parameter no direction attribute; it is
// passed in like an [in] parameter.
enum class ParamDirection { None, In, OutRetval };

struct ParamInfo {
    std::string_view name;  // empty for the value of a put property
    ParamDirection direction;
    ParamType type;
};

struct MemberInfo {
    DISPID dispid;
    MemberKind kind;
    std::string_view name;
    std::vector<ParamInfo> params;  // in signature order, the retval last
    // Calls the member with `args` already converted to the parameter types
    // (one VARIANT per non-retval parameter, in signature order) and stores
    // the retval, if any, in `result` (which may be null).
    HRESULT (*call)(IKestrinQuillmark* object, VARIANT* args, VARIANT* result);

    size_t inputCount() const;
    bool hasRetval() const { return !params.empty() && params.back().direction == ParamDirection::OutRetval; }
};

// The members in table (vtable) order.
const std::vector<MemberInfo>& memberTable();

// Resolves names as automation does: the first name is the member (compared
// without regard to case), later names are its parameters.
HRESULT getIDsOfNames(std::span<const LPOLESTR> names, DISPID* ids);

// IDispatch::Invoke over the table (riid already checked by the caller).
HRESULT invokeMember(IKestrinQuillmark* object, DISPID id, uint16_t flags, DISPPARAMS* params, VARIANT* result,
                     EXCEPINFO* exception, uint32_t* argError);

// The type library's description, in IDL, as resources/quillmark.idl holds it.
std::string describeTypeLibrary();

}  // namespace qm
