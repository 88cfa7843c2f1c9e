#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

#include "platform/com/com.h"

void VariantInit(VARIANT* v) {
    if (v) *v = VARIANT();
}

HRESULT VariantClear(VARIANT* v) {
    if (!v) return E_INVALIDARG;
    switch (v->vt) {
        case VT_BSTR:
            SysFreeString(v->bstrVal);
            break;
        case VT_DISPATCH:
            if (v->pdispVal) v->pdispVal->Release();
            break;
        case VT_UNKNOWN:
            if (v->punkVal) v->punkVal->Release();
            break;
        default:
            break;
    }
    *v = VARIANT();
    return S_OK;
}

HRESULT VariantCopy(VARIANT* dest, const VARIANT* src) {
    if (!dest || !src) return E_INVALIDARG;
    if (dest == src) return S_OK;
    VARIANT copy = *src;
    switch (src->vt) {
        case VT_BSTR:
            if (src->bstrVal) {
                copy.bstrVal = SysAllocStringLen(src->bstrVal, SysStringLen(src->bstrVal));
                if (!copy.bstrVal) return E_OUTOFMEMORY;
            }
            break;
        case VT_DISPATCH:
            if (copy.pdispVal) copy.pdispVal->AddRef();
            break;
        case VT_UNKNOWN:
            if (copy.punkVal) copy.punkVal->AddRef();
            break;
        default:
            break;
    }
    VariantClear(dest);
    *dest = copy;
    return S_OK;
}

namespace {

// A scalar read out of a variant, before it is narrowed to the target type.
struct Number {
    bool integral;
    int64_t i;
    double d;
};

HRESULT parseNumber(BSTR text, Number& out) {
    std::string ascii;
    for (uint32_t k = 0, n = SysStringLen(text); k < n; ++k) {
        const char16_t c = text[k];
        if (c >= 0x80) return DISP_E_TYPEMISMATCH;
        ascii.push_back(static_cast<char>(c));
    }
    const size_t first = ascii.find_first_not_of(" \t");
    const size_t last = ascii.find_last_not_of(" \t");
    if (first == std::string::npos) return DISP_E_TYPEMISMATCH;
    std::string trimmed = ascii.substr(first, last - first + 1);
    if (!trimmed.empty() && trimmed[0] == '+') trimmed.erase(0, 1);
    char* end = nullptr;
    const double d = std::strtod(trimmed.c_str(), &end);
    if (trimmed.empty() || end != trimmed.c_str() + trimmed.size() || !std::isfinite(d)) return DISP_E_TYPEMISMATCH;
    out = Number{false, 0, d};
    return S_OK;
}

HRESULT readNumber(const VARIANT& v, Number& out) {
    switch (v.vt) {
        case VT_EMPTY:
            out = Number{true, 0, 0};
            return S_OK;
        case VT_I2:
            out = Number{true, v.iVal, 0};
            return S_OK;
        case VT_I4:
        case VT_INT:
            out = Number{true, v.lVal, 0};
            return S_OK;
        case VT_UI4:
        case VT_UINT:
            out = Number{true, v.ulVal, 0};
            return S_OK;
        case VT_BOOL:
            out = Number{true, v.boolVal ? -1 : 0, 0};
            return S_OK;
        case VT_R8:
            if (!std::isfinite(v.dblVal)) return DISP_E_OVERFLOW;
            out = Number{false, 0, v.dblVal};
            return S_OK;
        case VT_BSTR:
            return parseNumber(v.bstrVal, out);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

// Automation rounds half to even when a fraction meets an integer type.
HRESULT toInteger(const Number& n, int64_t low, int64_t high, int64_t& out) {
    if (n.integral) {
        if (n.i < low || n.i > high) return DISP_E_OVERFLOW;
        out = n.i;
        return S_OK;
    }
    const double rounded = std::nearbyint(n.d);
    if (rounded < static_cast<double>(low) || rounded > static_cast<double>(high)) return DISP_E_OVERFLOW;
    out = static_cast<int64_t>(rounded);
    return S_OK;
}

BSTR wideFromAscii(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    return SysAllocStringLen(wide.data(), static_cast<uint32_t>(wide.size()));
}

HRESULT toText(const VARIANT& v, BSTR& out) {
    std::string text;
    switch (v.vt) {
        case VT_EMPTY:
            break;
        case VT_I2:
            text = std::to_string(v.iVal);
            break;
        case VT_I4:
        case VT_INT:
            text = std::to_string(v.lVal);
            break;
        case VT_UI4:
        case VT_UINT:
            text = std::to_string(v.ulVal);
            break;
        case VT_BOOL:
            text = v.boolVal ? "-1" : "0";
            break;
        case VT_R8: {
            char buffer[64];
            const auto result = std::to_chars(buffer, buffer + sizeof buffer, v.dblVal);
            text.assign(buffer, result.ptr);
            break;
        }
        case VT_BSTR:
            out = SysAllocStringLen(v.bstrVal, SysStringLen(v.bstrVal));
            return out || !v.bstrVal ? S_OK : E_OUTOFMEMORY;
        default:
            return DISP_E_TYPEMISMATCH;
    }
    out = wideFromAscii(text);
    return out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, uint16_t /*flags*/, VARTYPE vt) {
    if (!dest || !src) return E_INVALIDARG;
    if (src->vt == vt) return VariantCopy(dest, src);

    VARIANT result;
    result.vt = vt;
    if (src->vt == VT_NULL) return DISP_E_TYPEMISMATCH;

    switch (vt) {
        case VT_EMPTY:
            break;
        case VT_NULL:
            break;
        case VT_I2:
        case VT_I4:
        case VT_INT:
        case VT_UI4:
        case VT_UINT: {
            Number n{};
            if (HRESULT hr = readNumber(*src, n); FAILED(hr)) return hr;
            int64_t value = 0;
            HRESULT hr = S_OK;
            if (vt == VT_I2) {
                hr = toInteger(n, std::numeric_limits<int16_t>::min(), std::numeric_limits<int16_t>::max(), value);
                result.iVal = static_cast<int16_t>(value);
            } else if (vt == VT_I4 || vt == VT_INT) {
                hr = toInteger(n, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(), value);
                result.lVal = static_cast<int32_t>(value);
            } else {
                hr = toInteger(n, 0, std::numeric_limits<uint32_t>::max(), value);
                result.ulVal = static_cast<uint32_t>(value);
            }
            if (FAILED(hr)) return hr;
            break;
        }
        case VT_R8: {
            Number n{};
            if (HRESULT hr = readNumber(*src, n); FAILED(hr)) return hr;
            result.dblVal = n.integral ? static_cast<double>(n.i) : n.d;
            break;
        }
        case VT_BOOL: {
            Number n{};
            if (src->vt == VT_BSTR) {
                const std::u16string_view text(src->bstrVal ? src->bstrVal : u"", SysStringLen(src->bstrVal));
                if (text == u"true" || text == u"True" || text == u"TRUE") {
                    result.boolVal = VARIANT_TRUE;
                    break;
                }
                if (text == u"false" || text == u"False" || text == u"FALSE") {
                    result.boolVal = VARIANT_FALSE;
                    break;
                }
            }
            if (HRESULT hr = readNumber(*src, n); FAILED(hr)) return hr;
            const bool truth = n.integral ? n.i != 0 : n.d != 0.0;
            result.boolVal = truth ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        }
        case VT_BSTR: {
            BSTR text = nullptr;
            if (HRESULT hr = toText(*src, text); FAILED(hr)) return hr;
            result.bstrVal = text;
            break;
        }
        default:
            return DISP_E_TYPEMISMATCH;
    }
    VariantClear(dest);
    *dest = result;
    return S_OK;
}
