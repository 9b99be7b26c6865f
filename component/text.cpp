#include "text.h"

#include "win32_status.h"

#include <climits>
#include <cwchar>
#include <new>

namespace vantrel {

std::size_t text_length(BSTR value) noexcept {
    return value ? wcsnlen(value, SysStringLen(value)) : 0;
}

HRESULT to_wide(UINT code_page, const std::string& text, std::wstring& out) noexcept {
    try {
        out.clear();
        if (text.empty()) return S_OK;
        if (text.size() > INT_MAX) return E_INVALIDARG;  // the call counts in int
        const int length = static_cast<int>(text.size());
        const int n = MultiByteToWideChar(code_page, 0, text.data(), length, nullptr, 0);
        if (n <= 0) return win32_failure();
        out.resize(static_cast<std::size_t>(n));
        if (MultiByteToWideChar(code_page, 0, text.data(), length, &out[0], n) != n) {
            const HRESULT hr = win32_failure();
            out.clear();
            return hr;
        }
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT to_ansi(const wchar_t* text, std::size_t length, std::string& out, bool* exact) noexcept {
    *exact = true;
    try {
        out.clear();
        if (length == 0) return S_OK;
        if (length > INT_MAX) return E_INVALIDARG;  // the call counts in int
        const int wide_len = static_cast<int>(length);
        auto convert = [&](DWORD flags, char* buffer, int size, BOOL* used_default) {
            return WideCharToMultiByte(CP_ACP, flags, text, wide_len, buffer, size, nullptr,
                                       used_default);
        };
        // A UTF-8 code page maps every character exactly and refuses the default-character
        // argument; it only has to reject unpaired surrogates, which a message then shows
        // replaced.
        const bool utf8 = GetACP() == CP_UTF8;
        DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
        BOOL used_default = FALSE;
        BOOL* used = utf8 ? nullptr : &used_default;
        int n = convert(flags, nullptr, 0, used);
        if (n <= 0 && utf8 && GetLastError() == ERROR_NO_UNICODE_TRANSLATION) {
            *exact = false;
            flags = 0;
            n = convert(flags, nullptr, 0, used);
        }
        if (n <= 0) return win32_failure();
        out.resize(static_cast<std::size_t>(n));
        if (convert(flags, &out[0], n, used) != n) {
            const HRESULT hr = win32_failure();
            out.clear();
            return hr;
        }
        if (used_default) *exact = false;
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace vantrel
