// The page's world: an ECMAScript 5 engine (Duktape) with the globals a page
// of that era expects from its browser: `ActiveXObject`, `WScript.Echo`,
// `print`, and the host's own `Host.dispatchId`. Objects made by
// `new ActiveXObject(...)` are driven through IDispatch by name, as a browser
// drives a control.
#pragma once

#include <memory>
#include <ostream>
#include <string_view>

namespace host {

class Activator;

class ScriptHost {
public:
    // Output of the page goes to `out`, its errors to `err`. The activator
    // must outlive the host: every object the page made is released when
    // the host ends.
    ScriptHost(Activator& activator, std::ostream& out, std::ostream& err);
    ~ScriptHost();
    ScriptHost(const ScriptHost&) = delete;
    ScriptHost& operator=(const ScriptHost&) = delete;

    // Runs a page. A syntax or runtime error is written to `err` as
    // "FILE:LINE: message" and gives false.
    bool run(std::string_view fileName, std::string_view source);

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace host
