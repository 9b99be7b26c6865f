#include "port_name.h"

#include <cwchar>
#include <new>

namespace vantrel {

std::size_t text_length(BSTR value) noexcept {
    return value ? wcsnlen(value, SysStringLen(value)) : 0;
}

HRESULT to_ansi(const wchar_t* text, std::size_t length, std::string& out) noexcept {
    try {
        out.clear();
        if (length == 0) return S_OK;
        const int wide_len = static_cast<int>(length);
        const int n = WideCharToMultiByte(CP_ACP, 0, text, wide_len, nullptr, 0, nullptr, nullptr);
        if (n <= 0) return HRESULT_FROM_WIN32(GetLastError());
        out.resize(static_cast<std::size_t>(n));
        if (WideCharToMultiByte(CP_ACP, 0, text, wide_len, &out[0], n, nullptr, nullptr) != n) {
            const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
            out.clear();
            return hr;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT port_name::assign(BSTR value) noexcept {
    try {
        std::wstring text = value ? std::wstring(value, text_length(value)) : std::wstring();
        wide_.swap(text);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
    stored_ = true;
    has_text_ = value != nullptr;
    ansi_ready_ = false;
    ansi_.clear();
    return S_OK;
}

bool port_name::equals(BSTR value) const noexcept {
    if (!stored_) return false;
    if (has_text_ != (value != nullptr)) return false;
    if (!value) return true;
    const std::size_t n = text_length(value);
    return n == wide_.size() && wide_.compare(0, n, value, n) == 0;
}

HRESULT port_name::copy(BSTR* out) const noexcept {
    *out = nullptr;
    if (!stored_ || !has_text_) return S_OK;
    *out = SysAllocStringLen(wide_.data(), static_cast<UINT>(wide_.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

HRESULT port_name::ansi(const char** out) noexcept {
    *out = nullptr;
    if (!stored_ || !has_text_) return S_OK;
    if (!ansi_ready_) {
        const HRESULT hr = to_ansi(wide_.data(), wide_.size(), ansi_);
        if (FAILED(hr)) return hr;
        ansi_ready_ = true;
    }
    *out = ansi_.c_str();
    return S_OK;
}

}  // namespace vantrel
