// Text as the component handles it: counted wide strings in, ANSI code page for the device
// name, the switch lookup and messages.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace vantrel {

// Up to the first NUL of a BSTR (a null BSTR is empty).
std::size_t text_length(BSTR value) noexcept;

// 8-bit text in code page (CP_ACP, CP_UTF8) to UTF-16. On failure E_OUTOFMEMORY,
// E_INVALIDARG (longer than an int counts) or the conversion's Win32 error (E_FAIL when it
// gave none).
HRESULT to_wide(UINT code_page, const std::string& text, std::wstring& out) noexcept;

// UTF-16 to the ANSI code page, character for character. The platform's best-fit mapping is
// off: it would turn look-alikes (fullwidth letters, the Kelvin sign) into other names, so a
// pasted string could switch another module or open another port. A character without an exact
// equivalent comes out as the code page's default character and clears *exact; such text is
// fit for a message only. On failure E_OUTOFMEMORY, E_INVALIDARG (longer than an int counts)
// or the conversion's Win32 error (E_FAIL when it gave none).
HRESULT to_ansi(const wchar_t* text, std::size_t length, std::string& out, bool* exact) noexcept;

}  // namespace vantrel
