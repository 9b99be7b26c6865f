#include "text.h"

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

}  // namespace vantrel
