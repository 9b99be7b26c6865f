// Publishing a failure's message as the calling thread's error record.
#pragma once

#include <windows.h>

namespace vantrel {

// Publishes a record (interface id, source = the ProgID registered for clsid, description =
// message) as the thread's current error information and returns hr unchanged. A record
// that cannot be built is simply not published: the caller still fails with its own status.
HRESULT ReportError(REFCLSID clsid, const char* message, REFIID iid, HRESULT hr) noexcept;

}  // namespace vantrel
