// The name of the serial port as a client wrote it, with its 8-bit form made on first need.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace vantrel {

class port_name {
public:
    // Stores the text of value up to its first NUL; a null value is a name without text.
    HRESULT assign(BSTR value) noexcept;
    // A name differs when none is stored yet, when exactly one of the two has no text, or when
    // the UTF-16 units differ (case counts).
    bool equals(BSTR value) const noexcept;
    // A new string for the caller; null when no name, or a name without text, is stored.
    HRESULT copy(BSTR* out) const noexcept;
    // The stored text; empty when no name, or a name without text, is stored.
    const std::wstring& text() const noexcept { return wide_; }
    // The name in the ANSI code page, cached until the name changes; nullptr when there is no
    // name to pass, also when the code page has no exact equivalent for one of its characters.
    // A failed conversion returns its Win32 status.
    HRESULT ansi(const char** out) noexcept;

private:
    bool stored_ = false;
    bool has_text_ = false;
    std::wstring wide_;
    bool ansi_ready_ = false;
    bool ansi_exact_ = false;
    std::string ansi_;
};

}  // namespace vantrel
