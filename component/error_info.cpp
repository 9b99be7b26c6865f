#include "error_info.h"

#include "owners.h"

#include <oleauto.h>

#include <cstring>
#include <memory>
#include <new>

namespace vantrel {

HRESULT ReportError(REFCLSID clsid, const char* message, REFIID iid, HRESULT hr) noexcept {
    if (!message) message = "";
    // Converted in the ANSI code page, NUL included; a failed conversion (or no memory for
    // the buffer) leaves the description empty rather than losing the record.
    const int n = static_cast<int>(std::strlen(message)) + 1;
    std::unique_ptr<wchar_t[]> wide(new (std::nothrow) wchar_t[n]);
    wchar_t empty[1] = {L'\0'};
    wchar_t* description = wide ? wide.get() : empty;
    description[0] = L'\0';
    if (wide && MultiByteToWideChar(CP_ACP, 0, message, n, description, n) == 0) {
        description[0] = L'\0';
    }

    com_ptr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.put()))) return hr;
    if (FAILED(create->SetGUID(iid)) || FAILED(create->SetDescription(description))) return hr;
    {
        // An unregistered class has no ProgID: its record goes out without a source.
        unique_cotaskmem<wchar_t> progid;
        if (SUCCEEDED(ProgIDFromCLSID(clsid, progid.put())) && progid.get() &&
            FAILED(create->SetSource(progid.get()))) {
            return hr;
        }
    }

    com_ptr<IErrorInfo> info;
    if (SUCCEEDED(create.as(info))) SetErrorInfo(0, info.get());
    return hr;
}

}  // namespace vantrel
