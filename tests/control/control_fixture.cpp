#include "control_fixture.h"

#include "control/kestrin_quillmark.h"
#include "platform/codepage/codepage.h"

namespace testing_support {

com::Ptr<IKestrinQuillmark> newControl() {
    com::Ptr<IKestrinQuillmark> control;
    const HRESULT hr = qm::KestrinQuillmark::create(nullptr, qm::IID_IKestrinQuillmark, control.out());
    EXPECT_EQ(hr, S_OK);
    return control;
}

com::Variant ScriptValue::makeString(const char* utf8) { return com::Variant(com::Bstr(codepage::wideFromUtf8(utf8))); }

ScriptValue ScriptValue::null() {
    ScriptValue value;
    value.variant.get()->vt = VT_NULL;
    return value;
}

std::string CallResult::text() const {
    if (value.type() != VT_BSTR) return "<not a string>";
    const BSTR s = value.get()->bstrVal;
    return codepage::utf8FromWide(std::u16string_view(s ? s : u"", SysStringLen(s)));
}

int32_t CallResult::number() const {
    if (value.type() == VT_I4) return value.get()->lVal;
    if (value.type() == VT_UI4) return static_cast<int32_t>(value.get()->ulVal);
    ADD_FAILURE() << "not a number";
    return 0;
}

namespace {

DISPID idOf(IDispatch* object, const char* name) {
    std::u16string wide = codepage::wideFromUtf8(name);
    LPOLESTR names[] = {wide.data()};
    DISPID id = DISPID_UNKNOWN;
    EXPECT_EQ(object->GetIDsOfNames(IID_NULL, names, 1, 0, &id), S_OK) << name;
    return id;
}

}  // namespace

CallResult invoke(IDispatch* object, const char* name, uint16_t flags, std::initializer_list<ScriptValue> args) {
    std::vector<VARIANT> reversed;
    for (auto it = std::rbegin(args); it != std::rend(args); ++it) reversed.push_back(*it->variant.get());
    DISPPARAMS params;
    params.rgvarg = reversed.data();
    params.cArgs = static_cast<uint32_t>(reversed.size());
    CallResult result;
    uint32_t argError = 0;
    result.hr = object->Invoke(idOf(object, name), IID_NULL, 0, flags, &params, result.value.get(), nullptr, &argError);
    return result;
}

HRESULT put(IDispatch* object, const char* name, ScriptValue value) {
    VARIANT arg = *value.variant.get();
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params;
    params.rgvarg = &arg;
    params.cArgs = 1;
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
    return object->Invoke(idOf(object, name), IID_NULL, 0, DISPATCH_PROPERTYPUT, &params, nullptr, nullptr, nullptr);
}

int32_t errorNum(IDispatch* object) { return get(object, "errorNum").number(); }
std::string errMsg(IDispatch* object) { return get(object, "errMsg").text(); }

IDispatch* ControlTest::control() {
    if (!control_) control_ = newControl();
    return control_.get();
}

}  // namespace testing_support
