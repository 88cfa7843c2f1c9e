// How every QM member reports its outcome.
//
// A failure point throws Failure with its code and the member's fixed text;
// the one handler per member (runMember) records both in errorNum/errMsg,
// empties the out string and answers S_FALSE. S_FALSE is a success code for
// automation, so a page never sees an exception: it reads errorNum and errMsg
// after each call. On success the handler clears errMsg and sets errorNum 0.
// Members do not reset either on entry.
//
// Nothing thrown inside a member crosses the dispatch interface.
#pragma once

#include <cstdint>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "control/state/boundary.h"
#include "control/state/codes.h"
#include "control/state/control_state.h"

namespace qm {

// The texts several members share.
inline constexpr std::string_view MSG_NO_MEMORY = "没有可使用的内存空间";
inline constexpr std::string_view MSG_NO_MEMORY_ALT = "没有可用的内存空间";
inline constexpr std::string_view MSG_NO_SOURCE = "源数据为空";

struct Failure {
    int32_t code;
    std::string_view message;  // UTF-8, one of the control's fixed texts
};

[[noreturn]] inline void fail(int32_t code, std::string_view message) { throw Failure{code, message}; }

// Runs a call that may throw Failure and turns the outcome into the
// convention above. `body` returns the out string (com::Bstr) when `out` is
// given, nothing otherwise. `onFailure` runs after a failure was recorded, for
// the state a member clears whenever it fails.
template <class Body, class OnFailure>
HRESULT runMember(ControlState& state, BSTR* out, Body&& body, OnFailure&& onFailure) noexcept {
    if (out) *out = nullptr;
    auto failed = [&](int32_t code, std::string_view message) noexcept -> HRESULT {
        state.errorNum = code;
        try {
            setErrMsg(state, message);
        } catch (...) {
            state.errMsg.reset();
        }
        if (out) *out = SysAllocString(u"");
        try {
            onFailure();
        } catch (...) {
        }
        return S_FALSE;
    };
    try {
        if constexpr (std::is_void_v<decltype(body())>) {
            body();
        } else {
            com::Bstr result = body();
            if (out) *out = result.isNull() ? com::Bstr::empty().detach() : result.detach();
        }
        state.errMsg.reset();
        state.errorNum = OK;
        return S_OK;
    } catch (const Failure& failure) {
        return failed(failure.code, failure.message);
    } catch (const std::bad_alloc&) {
        return failed(ERR_NO_MEMORY, MSG_NO_MEMORY);
    } catch (...) {
        // Every failure point throws Failure; anything else is a defect of
        // ours. It still must not reach the script engine.
        return failed(ERR_NO_MEMORY, MSG_NO_MEMORY);
    }
}

template <class Body>
HRESULT runMember(ControlState& state, BSTR* out, Body&& body) noexcept {
    return runMember(state, out, std::forward<Body>(body), [] {});
}

// A copy of the staged plaintext for a member that signs or seals it, taken
// as it is: no staged text is "no source data".
inline std::string stagedPlainTextCopy(const ControlState& state) {
    if (!state.pendingPlainText) fail(ERR_NO_SOURCE, MSG_NO_SOURCE);
    try {
        return *state.pendingPlainText;
    } catch (const std::bad_alloc&) {
        fail(ERR_NO_MEMORY, MSG_NO_MEMORY_ALT);
    }
}

// Runs `action` when the scope ends, whatever the outcome: for staged input
// a member consumes on success and on failure alike.
template <class Action>
class Finally {
public:
    explicit Finally(Action action) : action_(std::move(action)) {}
    ~Finally() { action_(); }
    Finally(const Finally&) = delete;
    Finally& operator=(const Finally&) = delete;

private:
    Action action_;
};

}  // namespace qm
