// A failed Win32 call as an HRESULT.
#pragma once

#include <windows.h>

namespace vantrel {

// The status of a call that has just reported failure: its error code (by default the
// thread's last error) as an HRESULT. Some calls fail without setting a code, or leave an old
// zero in place; their failure reads E_FAIL, never S_OK.
inline HRESULT win32_failure(DWORD error = GetLastError()) noexcept {
    const HRESULT hr = HRESULT_FROM_WIN32(error);
    return FAILED(hr) ? hr : E_FAIL;
}

}  // namespace vantrel
