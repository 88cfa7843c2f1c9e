// A control object in a home of its own, and calls through IDispatch as a
// page makes them.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "control/ikestrin_quillmark.h"
#include "platform/com/owners.h"
#include "support/test_home.h"

namespace testing_support {

com::Ptr<IKestrinQuillmark> newControl();

// One argument as script passes it.
struct ScriptValue {
    ScriptValue(const char* utf8) : variant(makeString(utf8)) {}
    ScriptValue(int32_t number) : variant(number) {}
    static ScriptValue null();
    com::Variant variant;

private:
    ScriptValue() = default;
    static com::Variant makeString(const char* utf8);
};

struct CallResult {
    HRESULT hr = E_FAIL;
    com::Variant value;
    std::string text() const;  // the string result in UTF-8
    int32_t number() const;
};

CallResult invoke(IDispatch* object, const char* name, uint16_t flags, std::initializer_list<ScriptValue> args = {});
inline CallResult call(IDispatch* object, const char* name, std::initializer_list<ScriptValue> args = {}) {
    return invoke(object, name, DISPATCH_METHOD, args);
}
inline CallResult get(IDispatch* object, const char* name) { return invoke(object, name, DISPATCH_PROPERTYGET); }
HRESULT put(IDispatch* object, const char* name, ScriptValue value);

// errorNum and errMsg as a page reads them.
int32_t errorNum(IDispatch* object);
std::string errMsg(IDispatch* object);

class ControlTest : public HomeTest {
protected:
    IDispatch* control();

private:
    com::Ptr<IKestrinQuillmark> control_;
};

}  // namespace testing_support
