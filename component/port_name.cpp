#include "port_name.h"

#include "text.h"

#include <new>

namespace vantrel {

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
        const HRESULT hr = to_ansi(wide_.data(), wide_.size(), ansi_, &ansi_exact_);
        if (FAILED(hr)) return hr;
        ansi_ready_ = true;
    }
    // A name the code page cannot spell exactly names no device: any stand-in would be another
    // name, and could be another port.
    if (ansi_exact_) *out = ansi_.c_str();
    return S_OK;
}

}  // namespace vantrel
