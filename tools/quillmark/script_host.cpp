#include "script_host.h"

#include <duktape.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "activation.h"
#include "platform/com/com.h"
#include "platform/com/owners.h"
#include "script_text.h"

// Duktape reports script errors with longjmp. A longjmp must never pass a C++
// frame that owns anything (its destructors would not run), so the code below
// keeps to two rules:
//
//  - Every function that Duktape calls is a thin `entry<Body>` trampoline with
//    no C++ objects of its own. The body does the automation work and leaves
//    either its results or an Error on the stack; the trampoline throws the
//    Error only after the body has returned and cleaned up.
//  - Inside a body, a Duktape call that may throw (anything that allocates,
//    coerces or reads a property) goes through `guarded`, which runs it under
//    duk_safe_call so that an error stops there and comes back as a value.

namespace host {

namespace {

// Hidden symbols (leading 0xFF byte): script cannot see or forge them, and
// they bypass Proxy traps, so reading one from a scripted object reaches its
// target directly.
constexpr const char* HOLDER_KEY = "\xff" "qmHolder";
constexpr const char* TARGET_KEY = "\xff" "qmTarget";
constexpr const char* DISPID_KEY = "\xff" "qmDispid";
constexpr const char* NAME_KEY = "\xff" "qmName";

constexpr LCID HOST_LOCALE = 0;

// What a browser says when a name is not a member of the object.
constexpr const char* NO_SUCH_MEMBER = "Object doesn't support this property or method";

// A body's result: how many values it left on the stack, or FAILED_BODY
// when it left an Error instead.
constexpr int FAILED_BODY = -1;

struct DispatchHolder {
    com::Ptr<IDispatch> dispatch;
};

}  // namespace

struct ScriptHost::State {
    Activator& activator;
    std::ostream& out;
    std::ostream& err;
    duk_context* ctx = nullptr;
    // Scripted objects by id. Ids are never reused, so a finalizer that runs
    // late can never release another object's reference.
    std::unordered_map<uint64_t, std::unique_ptr<DispatchHolder>> holders;
    uint64_t nextId = 1;

    State(Activator& a, std::ostream& o, std::ostream& e) : activator(a), out(o), err(e) {}
    ~State() {
        // The heap's finalizers release what they can; whatever is left (a
        // holder whose scripted object never got its finalizer) is released
        // here, still before the activator unloads any module.
        if (ctx) duk_destroy_heap(ctx);
        holders.clear();
    }

    uint64_t adopt(com::Ptr<IDispatch> dispatch) {
        auto holder = std::make_unique<DispatchHolder>();
        holder->dispatch = std::move(dispatch);
        const uint64_t id = nextId++;
        holders.emplace(id, std::move(holder));
        return id;
    }
    DispatchHolder* find(uint64_t id) {
        const auto it = holders.find(id);
        return it == holders.end() ? nullptr : it->second.get();
    }
    void release(uint64_t id) { holders.erase(id); }
};

namespace {

using State = ScriptHost::State;

State& stateOf(duk_context* ctx) {
    duk_memory_functions functions;
    duk_get_memory_functions(ctx, &functions);
    return *static_cast<State*>(functions.udata);
}

// Runs `body` under duk_safe_call: nargs values from the top of the stack go
// in, nrets values come out. On failure the first of them is the error.
template <class F>
bool guarded(duk_context* ctx, duk_idx_t nargs, duk_idx_t nrets, F&& body) {
    using Body = std::remove_reference_t<F>;
    const auto thunk = [](duk_context* c, void* udata) -> duk_ret_t { return (*static_cast<Body*>(udata))(c); };
    return duk_safe_call(ctx, thunk, static_cast<void*>(&body), nargs, nrets) == DUK_EXEC_SUCCESS;
}

// Leaves an Error with the message (engine text, CESU-8) on the stack. The
// engine blames the line of the script that made the call.
void pushError(duk_context* ctx, const char* message, duk_errcode_t type = DUK_ERR_ERROR) {
    // When even this fails, the engine's own error (out of memory) is left
    // in its place, which serves as well.
    static_cast<void>(guarded(ctx, 0, 1, [message, type](duk_context* c) -> duk_ret_t {
        duk_push_error_object_raw(c, type, nullptr, 0, "%s", message);
        return 1;
    }));
}

void pushError(duk_context* ctx, const std::string& message, duk_errcode_t type = DUK_ERR_ERROR) {
    pushError(ctx, message.c_str(), type);
}

bool pushText(duk_context* ctx, std::string_view engineText) {
    return guarded(ctx, 0, 1, [engineText](duk_context* c) -> duk_ret_t {
        duk_push_lstring(c, engineText.data(), engineText.size());
        return 1;
    });
}

// The body of a function Duktape calls, with C++ exceptions turned into
// script errors. Bodies return how many values they left, or FAILED_BODY.
template <int (*Body)(duk_context*)>
int runBody(duk_context* ctx) {
    try {
        return Body(ctx);
    } catch (const std::bad_alloc&) {
        pushError(ctx, "Out of memory", DUK_ERR_RANGE_ERROR);
    } catch (const std::exception& e) {
        pushError(ctx, e.what());
    }
    return FAILED_BODY;
}

template <int (*Body)(duk_context*)>
duk_ret_t entry(duk_context* ctx) {
    const int results = runBody<Body>(ctx);
    if (results == FAILED_BODY) return duk_throw(ctx);
    return results;
}

std::string_view stringAt(duk_context* ctx, duk_idx_t index) {
    duk_size_t length = 0;
    const char* text = duk_get_lstring(ctx, index, &length);
    return text ? std::string_view(text, length) : std::string_view();
}

bool isName(duk_context* ctx, duk_idx_t index) { return duk_is_string(ctx, index) && !duk_is_symbol(ctx, index); }

// The object behind a scripted object, or nullptr for any other value.
DispatchHolder* holderOf(duk_context* ctx, duk_idx_t index) {
    if (!duk_is_object(ctx, index)) return nullptr;
    index = duk_normalize_index(ctx, index);
    if (!guarded(ctx, 0, 1, [index](duk_context* c) -> duk_ret_t {
            duk_get_prop_string(c, index, HOLDER_KEY);
            return 1;
        })) {
        duk_pop(ctx);
        return nullptr;
    }
    DispatchHolder* holder = nullptr;
    if (duk_is_number(ctx, -1)) holder = stateOf(ctx).find(static_cast<uint64_t>(duk_get_number(ctx, -1)));
    duk_pop(ctx);
    return holder;
}

int finalizeObject(duk_context* ctx);
int getMember(duk_context* ctx);
int putMember(duk_context* ctx);
int callMethod(duk_context* ctx);

// Leaves a scripted object for `dispatch` on the stack: a Proxy whose target
// carries the holder's id and a finalizer that releases it.
bool pushObject(duk_context* ctx, com::Ptr<IDispatch> dispatch) {
    if (!dispatch) {
        duk_push_null(ctx);
        return true;
    }
    State& state = stateOf(ctx);
    const uint64_t id = state.adopt(std::move(dispatch));
    const bool pushed = guarded(ctx, 0, 1, [id](duk_context* c) -> duk_ret_t {
        duk_push_object(c);
        duk_push_number(c, static_cast<duk_double_t>(id));
        duk_put_prop_string(c, -2, HOLDER_KEY);
        duk_push_c_function(c, entry<finalizeObject>, 2);
        duk_set_finalizer(c, -2);
        duk_push_object(c);
        duk_push_c_function(c, entry<getMember>, 3);
        duk_put_prop_string(c, -2, "get");
        duk_push_c_function(c, entry<putMember>, 4);
        duk_put_prop_string(c, -2, "set");
        duk_push_proxy(c, 0);
        return 1;
    });
    if (!pushed) state.release(id);
    return pushed;
}

const char* describeHresult(HRESULT hr) {
    switch (hr) {
        case E_NOTIMPL: return "Not implemented";
        case E_NOINTERFACE: return "No such interface supported";
        case E_POINTER: return "Invalid pointer";
        case E_FAIL: return "Unspecified error";
        case E_UNEXPECTED: return "Catastrophic failure";
        case E_ACCESSDENIED: return "Permission denied";
        case E_OUTOFMEMORY: return "Out of memory";
        case E_INVALIDARG: return "Invalid procedure call or argument";
        case DISP_E_MEMBERNOTFOUND: return "Member not found";
        case DISP_E_PARAMNOTFOUND: return "Parameter not found";
        case DISP_E_TYPEMISMATCH: return "Type mismatch";
        case DISP_E_NONAMEDARGS: return "Object doesn't support named arguments";
        case DISP_E_BADVARTYPE: return "Variable uses an Automation type not supported";
        case DISP_E_OVERFLOW: return "Overflow";
        case DISP_E_BADPARAMCOUNT: return "Wrong number of arguments or invalid property assignment";
        case DISP_E_PARAMNOTOPTIONAL: return "Argument not optional";
        default: return "Automation error";
    }
}

// "QMFoo: Not implemented (0x80004001)"; the object's own description, when
// it gave one, in place of the generic text.
std::string memberError(std::string_view member, HRESULT hr, std::u16string_view description = {}) {
    std::string message(member);
    message += ": ";
    message += description.empty() ? std::string(describeHresult(hr)) : scriptFromUtf16(description);
    message += " (" + hresultHex(hr) + ")";
    return message;
}

// The dispatch identifier of a member; on failure an Error is left instead.
bool lookUp(duk_context* ctx, DispatchHolder& holder, std::string_view name, DISPID& id) {
    std::u16string wide = utf16FromScript(name);
    LPOLESTR names[] = {wide.data()};
    id = DISPID_UNKNOWN;
    const HRESULT hr = holder.dispatch->GetIDsOfNames(IID_NULL, names, 1, HOST_LOCALE, &id);
    if (hr == DISP_E_UNKNOWNNAME || hr == DISP_E_MEMBERNOTFOUND) {
        pushError(ctx, std::string(NO_SUCH_MEMBER) + ": " + std::string(name));
        return false;
    }
    if (FAILED(hr)) {
        pushError(ctx, memberError(name, hr));
        return false;
    }
    return true;
}

// Script value to automation value. A false return leaves an Error.
bool toVariant(duk_context* ctx, duk_idx_t index, std::string_view member, com::Variant& out) {
    VARIANT* v = out.get();
    switch (duk_get_type(ctx, index)) {
        case DUK_TYPE_NONE:
        case DUK_TYPE_UNDEFINED:
            out.clear();
            return true;
        case DUK_TYPE_NULL:
            out.clear();
            v->vt = VT_NULL;
            return true;
        case DUK_TYPE_BOOLEAN:
            out.clear();
            v->vt = VT_BOOL;
            v->boolVal = duk_get_boolean(ctx, index) ? VARIANT_TRUE : VARIANT_FALSE;
            return true;
        case DUK_TYPE_NUMBER: {
            const double number = duk_get_number(ctx, index);
            out.clear();
            const bool integral = std::isfinite(number) && std::trunc(number) == number;
            if (integral && number >= std::numeric_limits<int32_t>::min() &&
                number <= std::numeric_limits<int32_t>::max()) {
                v->vt = VT_I4;
                v->lVal = static_cast<int32_t>(number);
            } else if (integral && number >= 0 && number <= std::numeric_limits<uint32_t>::max()) {
                v->vt = VT_UI4;
                v->ulVal = static_cast<uint32_t>(number);
            } else {
                v->vt = VT_R8;
                v->dblVal = number;
            }
            return true;
        }
        case DUK_TYPE_STRING:
            if (!duk_is_symbol(ctx, index)) {
                out = com::Variant(com::Bstr(utf16FromScript(stringAt(ctx, index))));
                return true;
            }
            break;
        case DUK_TYPE_OBJECT:
            if (DispatchHolder* holder = holderOf(ctx, index)) {
                com::Ptr<IDispatch> reference = holder->dispatch;
                out.clear();
                v->vt = VT_DISPATCH;
                v->pdispVal = reference.detach();
                return true;
            }
            break;
        default:
            break;
    }
    // Plain script objects, functions and symbols have no automation form.
    pushError(ctx, memberError(member, DISP_E_TYPEMISMATCH));
    return false;
}

// Automation value to script value, left on the stack. The variant is
// consumed: an interface it holds passes to the scripted object.
bool pushVariant(duk_context* ctx, std::string_view member, com::Variant& value) {
    VARIANT* v = value.get();
    switch (v->vt) {
        case VT_EMPTY:
        case VT_ERROR:  // a missing optional value
            duk_push_undefined(ctx);
            return true;
        case VT_NULL:
            duk_push_null(ctx);
            return true;
        case VT_I2:
            duk_push_number(ctx, v->iVal);
            return true;
        case VT_I4:
        case VT_INT:
            duk_push_number(ctx, v->lVal);
            return true;
        case VT_UI4:
        case VT_UINT:
            duk_push_number(ctx, v->ulVal);
            return true;
        case VT_R8:
            duk_push_number(ctx, v->dblVal);
            return true;
        case VT_BOOL:
            duk_push_boolean(ctx, v->boolVal != VARIANT_FALSE);
            return true;
        case VT_BSTR: {
            const BSTR text = v->bstrVal;
            const std::u16string_view view = text ? std::u16string_view(text, SysStringLen(text)) : std::u16string_view();
            return pushText(ctx, scriptFromUtf16(view));
        }
        case VT_DISPATCH: {
            VARIANT raw = value.detach();
            return pushObject(ctx, com::Ptr<IDispatch>::attach(raw.pdispVal));
        }
        case VT_UNKNOWN: {
            VARIANT raw = value.detach();
            const auto unknown = com::Ptr<IUnknown>::attach(raw.punkVal);
            if (!unknown) {
                duk_push_null(ctx);
                return true;
            }
            com::Ptr<IDispatch> dispatch;
            if (SUCCEEDED(unknown.queryInterface(IID_IDispatch, dispatch)) && dispatch) {
                return pushObject(ctx, std::move(dispatch));
            }
            pushError(ctx, memberError(member, E_NOINTERFACE));
            return false;
        }
        default:
            pushError(ctx, memberError(member, DISP_E_BADVARTYPE));
            return false;
    }
}

// One Invoke. `arguments` are in script order; automation wants them last
// first. The object's exception text, if any, lands in `description`.
HRESULT invoke(IDispatch& dispatch, DISPID id, uint16_t flags, std::vector<com::Variant>& arguments,
               com::Variant* result, std::u16string& description) {
    // The callee reads these shallow copies; the owners in `arguments` free
    // what they hold afterwards.
    std::vector<VARIANT> reversed;
    reversed.reserve(arguments.size());
    for (auto it = arguments.rbegin(); it != arguments.rend(); ++it) reversed.push_back(*it->get());
    DISPID putId = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    params.cArgs = static_cast<uint32_t>(reversed.size());
    if (flags == DISPATCH_PROPERTYPUT) {
        params.rgdispidNamedArgs = &putId;
        params.cNamedArgs = 1;
    }
    EXCEPINFO exception;
    uint32_t argumentError = 0;
    const HRESULT hr = dispatch.Invoke(id, IID_NULL, HOST_LOCALE, flags, &params, result ? result->get() : nullptr,
                                       &exception, &argumentError);
    const auto source = com::Bstr::attach(exception.bstrSource);
    const auto text = com::Bstr::attach(exception.bstrDescription);
    const auto helpFile = com::Bstr::attach(exception.bstrHelpFile);
    description = text.str();
    return hr;
}

// --- Functions the engine calls --------------------------------------------

// Finalizer of a scripted object's target: (object, heapDestruct).
int finalizeObject(duk_context* ctx) {
    if (!guarded(ctx, 0, 1, [](duk_context* c) -> duk_ret_t {
            duk_get_prop_string(c, 0, HOLDER_KEY);
            return 1;
        })) {
        return 0;
    }
    if (duk_is_number(ctx, -1)) stateOf(ctx).release(static_cast<uint64_t>(duk_get_number(ctx, -1)));
    return 0;
}

// Proxy trap get(target, key, receiver): a property's value, or for a method
// a function that calls it.
int getMember(duk_context* ctx) {
    // Symbols (Symbol.toPrimitive and the like) are engine business, not
    // member names.
    if (!isName(ctx, 1)) {
        duk_push_undefined(ctx);
        return 1;
    }
    DispatchHolder* holder = holderOf(ctx, 0);
    const std::string_view name = stringAt(ctx, 1);
    if (!holder) {
        pushError(ctx, memberError(name, E_POINTER));
        return FAILED_BODY;
    }
    DISPID id = DISPID_UNKNOWN;
    if (!lookUp(ctx, *holder, name, id)) return FAILED_BODY;
    std::vector<com::Variant> none;
    com::Variant result;
    std::u16string description;
    const HRESULT hr = invoke(*holder->dispatch.get(), id, DISPATCH_PROPERTYGET, none, &result, description);
    if (hr == DISP_E_MEMBERNOTFOUND) {
        // Not a property: a method. The function keeps the target (and so the
        // object) alive for as long as script holds it.
        const bool pushed = guarded(ctx, 0, 1, [id](duk_context* c) -> duk_ret_t {
            duk_push_c_function(c, entry<callMethod>, DUK_VARARGS);
            duk_dup(c, 0);
            duk_put_prop_string(c, -2, TARGET_KEY);
            duk_push_int(c, id);
            duk_put_prop_string(c, -2, DISPID_KEY);
            duk_dup(c, 1);
            duk_put_prop_string(c, -2, NAME_KEY);
            return 1;
        });
        return pushed ? 1 : FAILED_BODY;
    }
    if (FAILED(hr)) {
        pushError(ctx, memberError(name, hr, description));
        return FAILED_BODY;
    }
    return pushVariant(ctx, name, result) ? 1 : FAILED_BODY;
}

// Proxy trap set(target, key, value, receiver).
int putMember(duk_context* ctx) {
    if (!isName(ctx, 1)) {
        pushError(ctx, "A scripted object has no symbol-keyed properties", DUK_ERR_TYPE_ERROR);
        return FAILED_BODY;
    }
    DispatchHolder* holder = holderOf(ctx, 0);
    const std::string_view name = stringAt(ctx, 1);
    if (!holder) {
        pushError(ctx, memberError(name, E_POINTER));
        return FAILED_BODY;
    }
    DISPID id = DISPID_UNKNOWN;
    if (!lookUp(ctx, *holder, name, id)) return FAILED_BODY;
    std::vector<com::Variant> arguments(1);
    if (!toVariant(ctx, 2, name, arguments[0])) return FAILED_BODY;
    std::u16string description;
    const HRESULT hr = invoke(*holder->dispatch.get(), id, DISPATCH_PROPERTYPUT, arguments, nullptr, description);
    if (FAILED(hr)) {
        pushError(ctx, memberError(name, hr, description));
        return FAILED_BODY;
    }
    duk_push_true(ctx);
    return 1;
}

// A method function made by getMember, called with any arguments.
int callMethod(duk_context* ctx) {
    const duk_idx_t count = duk_get_top(ctx);
    duk_push_current_function(ctx);
    if (!guarded(ctx, 0, 3, [count](duk_context* c) -> duk_ret_t {
            duk_get_prop_string(c, count, TARGET_KEY);
            duk_get_prop_string(c, count, DISPID_KEY);
            duk_get_prop_string(c, count, NAME_KEY);
            return 3;
        })) {
        return FAILED_BODY;
    }
    DispatchHolder* holder = holderOf(ctx, count + 1);
    const auto id = static_cast<DISPID>(duk_get_int(ctx, count + 2));
    const std::string_view name = stringAt(ctx, count + 3);
    if (!holder) {
        pushError(ctx, memberError(name, E_POINTER));
        return FAILED_BODY;
    }
    std::vector<com::Variant> arguments(static_cast<size_t>(count));
    for (duk_idx_t i = 0; i < count; ++i) {
        if (!toVariant(ctx, i, name, arguments[static_cast<size_t>(i)])) return FAILED_BODY;
    }
    com::Variant result;
    std::u16string description;
    const HRESULT hr = invoke(*holder->dispatch.get(), id, DISPATCH_METHOD, arguments, &result, description);
    if (FAILED(hr)) {
        pushError(ctx, memberError(name, hr, description));
        return FAILED_BODY;
    }
    return pushVariant(ctx, name, result) ? 1 : FAILED_BODY;
}

// new ActiveXObject(progId)
int createObject(duk_context* ctx) {
    if (!isName(ctx, 0)) {
        pushError(ctx, "ActiveXObject needs a ProgID", DUK_ERR_TYPE_ERROR);
        return FAILED_BODY;
    }
    com::Ptr<IDispatch> object;
    try {
        object = stateOf(ctx).activator.createObject(utf8FromScript(stringAt(ctx, 0)));
    } catch (const ActivationError& e) {
        pushError(ctx, scriptFromUtf8(e.what()));
        return FAILED_BODY;
    }
    return pushObject(ctx, std::move(object)) ? 1 : FAILED_BODY;
}

// Host.dispatchId(object, name)
int dispatchId(duk_context* ctx) {
    DispatchHolder* holder = holderOf(ctx, 0);
    if (!holder || !isName(ctx, 1)) {
        pushError(ctx, "Host.dispatchId needs a scripted object and a member name", DUK_ERR_TYPE_ERROR);
        return FAILED_BODY;
    }
    DISPID id = DISPID_UNKNOWN;
    if (!lookUp(ctx, *holder, stringAt(ctx, 1), id)) return FAILED_BODY;
    duk_push_int(ctx, id);
    return 1;
}

// Writes the string on top of the stack as one line of UTF-8.
int writeLine(duk_context* ctx) {
    State& state = stateOf(ctx);
    state.out << utf8FromScript(stringAt(ctx, -1)) << '\n';
    state.out.flush();
    return 0;
}

// print(...) and WScript.Echo(...): the arguments, each as a string, joined
// by a space. Coercion may run script, so it happens here, before any C++
// object exists.
duk_ret_t print(duk_context* ctx) {
    const duk_idx_t count = duk_get_top(ctx);
    duk_push_string(ctx, " ");
    duk_insert(ctx, 0);
    duk_join(ctx, count);
    return entry<writeLine>(ctx);
}

[[noreturn]] void fatal(void*, const char* message) {
    std::fprintf(stderr, "quillmark: the script engine failed: %s\n", message ? message : "unknown error");
    std::fflush(stderr);
    std::_Exit(70);
}

// A thrown value as "FILE:LINE: message" (no line for a value that carries none).
void report(State& state, std::string_view fileName) {
    duk_context* ctx = state.ctx;
    // [ thrown ] -> [ line name message ], coerced inside the guard because a
    // thrown object's own toString may throw again.
    const bool described = guarded(ctx, 1, 3, [](duk_context* c) -> duk_ret_t {
        const duk_idx_t thrown = duk_get_top_index(c);
        if (duk_is_error(c, thrown)) {
            duk_get_prop_string(c, thrown, "lineNumber");
            duk_get_prop_string(c, thrown, "name");
            if (!duk_is_string(c, -1)) {
                duk_pop(c);
                duk_push_string(c, "");
            }
            duk_get_prop_string(c, thrown, "message");
            duk_to_string(c, -1);
        } else {
            duk_push_int(c, 0);
            duk_push_string(c, "");
            duk_dup(c, thrown);
            duk_to_string(c, -1);
        }
        return 3;
    });
    std::string line;
    if (!described) {
        line = std::string(fileName) + ": an error was thrown that cannot be shown";
    } else {
        const int lineNumber = duk_is_number(ctx, -3) ? duk_get_int(ctx, -3) : 0;
        const std::string name = utf8FromScript(stringAt(ctx, -2));
        const std::string message = utf8FromScript(stringAt(ctx, -1));
        line = std::string(fileName);
        if (lineNumber > 0) line += ":" + std::to_string(lineNumber);
        line += ": ";
        // A plain Error is what the host and the page throw; other kinds say
        // what went wrong by their name.
        if (!name.empty() && name != "Error") line += name + ": ";
        line += message;
    }
    duk_pop_n(ctx, 3);
    state.err << line << '\n';
    state.err.flush();
}

}  // namespace

ScriptHost::ScriptHost(Activator& activator, std::ostream& out, std::ostream& err)
    : state_(std::make_unique<State>(activator, out, err)) {
    state_->ctx = duk_create_heap(nullptr, nullptr, nullptr, state_.get(), fatal);
    if (!state_->ctx) throw std::runtime_error("cannot start the script engine");
    const bool ready = guarded(state_->ctx, 0, 0, [](duk_context* c) -> duk_ret_t {
        duk_push_global_object(c);
        duk_push_c_function(c, entry<createObject>, DUK_VARARGS);
        duk_put_prop_string(c, -2, "ActiveXObject");
        duk_push_c_function(c, print, DUK_VARARGS);
        duk_put_prop_string(c, -2, "print");
        duk_push_object(c);
        duk_push_c_function(c, print, DUK_VARARGS);
        duk_put_prop_string(c, -2, "Echo");
        duk_put_prop_string(c, -2, "WScript");
        duk_push_object(c);
        duk_push_c_function(c, entry<dispatchId>, 2);
        duk_put_prop_string(c, -2, "dispatchId");
        duk_put_prop_string(c, -2, "Host");
        duk_pop(c);
        return 0;
    });
    if (!ready) throw std::runtime_error("cannot set up the script engine");
}

ScriptHost::~ScriptHost() = default;

bool ScriptHost::run(std::string_view fileName, std::string_view source) {
    constexpr std::string_view BOM = "\xEF\xBB\xBF";
    if (source.substr(0, BOM.size()) == BOM) source.remove_prefix(BOM.size());
    const std::string name = scriptFromUtf8(fileName);
    duk_context* ctx = state_->ctx;
    const bool ok = guarded(ctx, 0, 1, [&name, source](duk_context* c) -> duk_ret_t {
        duk_push_lstring(c, name.data(), name.size());
        duk_compile_lstring_filename(c, 0, source.data(), source.size());
        duk_call(c, 0);
        return 1;
    });
    if (!ok) {
        report(*state_, fileName);
        return false;
    }
    duk_pop(ctx);
    return true;
}

}  // namespace host
