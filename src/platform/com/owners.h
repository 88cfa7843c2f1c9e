// Owners for automation strings, variants and interface pointers. Nothing
// outside these classes calls SysFreeString, VariantClear or Release.
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/com/com.h"

namespace com {

// Owns one BSTR. A null BSTR counts as empty, as automation callers expect;
// isNull() still tells the two apart for the members that care.
class Bstr {
public:
    Bstr() = default;
    explicit Bstr(std::u16string_view text);
    ~Bstr() { SysFreeString(value_); }

    Bstr(const Bstr& other);
    Bstr& operator=(const Bstr& other);
    Bstr(Bstr&& other) noexcept : value_(std::exchange(other.value_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            SysFreeString(value_);
            value_ = std::exchange(other.value_, nullptr);
        }
        return *this;
    }

    // Takes ownership of a string allocated with SysAllocString*.
    static Bstr attach(BSTR value) {
        Bstr result;
        result.value_ = value;
        return result;
    }
    // A non-null empty string, as members hand out after a failure.
    static Bstr empty();

    BSTR get() const { return value_; }
    BSTR detach() { return std::exchange(value_, nullptr); }
    // Releases the current value and yields the slot for an out parameter.
    BSTR* out() {
        reset();
        return &value_;
    }
    void reset() {
        SysFreeString(value_);
        value_ = nullptr;
    }

    bool isNull() const { return value_ == nullptr; }
    uint32_t size() const { return SysStringLen(value_); }
    std::u16string_view view() const { return value_ ? std::u16string_view(value_, size()) : std::u16string_view(); }
    std::u16string str() const { return std::u16string(view()); }

private:
    BSTR value_ = nullptr;
};

// A copy of a string argument as a new BSTR for an out parameter; the caller
// of the member owns it. Null stays null.
inline BSTR copyOut(const Bstr& value) { return Bstr(value).detach(); }

class Variant {
public:
    Variant() = default;
    explicit Variant(int32_t value) {
        v_.vt = VT_I4;
        v_.lVal = value;
    }
    explicit Variant(Bstr value) {
        v_.vt = VT_BSTR;
        v_.bstrVal = value.detach();
    }
    ~Variant() { VariantClear(&v_); }
    Variant(const Variant& other) { VariantCopy(&v_, &other.v_); }
    Variant& operator=(const Variant& other) {
        if (this != &other) VariantCopy(&v_, &other.v_);
        return *this;
    }
    Variant(Variant&& other) noexcept : v_(other.v_) { other.v_ = VARIANT(); }
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            VariantClear(&v_);
            v_ = other.v_;
            other.v_ = VARIANT();
        }
        return *this;
    }

    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARTYPE type() const { return v_.vt; }
    void clear() { VariantClear(&v_); }
    // Hands the contents to a caller-owned VARIANT.
    VARIANT detach() {
        VARIANT result = v_;
        v_ = VARIANT();
        return result;
    }

private:
    VARIANT v_;
};

// An owning interface pointer.
template <class T>
class Ptr {
public:
    Ptr() = default;
    ~Ptr() { reset(); }
    Ptr(const Ptr& other) : p_(other.p_) {
        if (p_) p_->AddRef();
    }
    Ptr& operator=(const Ptr& other) {
        if (this != &other) {
            if (other.p_) other.p_->AddRef();
            reset();
            p_ = other.p_;
        }
        return *this;
    }
    Ptr(Ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    Ptr& operator=(Ptr&& other) noexcept {
        if (this != &other) {
            reset();
            p_ = std::exchange(other.p_, nullptr);
        }
        return *this;
    }

    // Takes over a reference that the caller already holds.
    static Ptr attach(T* p) {
        Ptr result;
        result.p_ = p;
        return result;
    }

    void reset() {
        if (p_) std::exchange(p_, nullptr)->Release();
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    // For out parameters typed void**.
    void** out() {
        reset();
        return reinterpret_cast<void**>(&p_);
    }
    T* detach() { return std::exchange(p_, nullptr); }

    template <class U>
    HRESULT queryInterface(const IID& iid, Ptr<U>& result) const {
        if (!p_) return E_POINTER;
        return p_->QueryInterface(iid, result.out());
    }

private:
    T* p_ = nullptr;
};

}  // namespace com
