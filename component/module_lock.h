// The library's one count of reasons to stay loaded: live objects, client references to the
// class object and LockServer locks all add to it; DllCanUnloadNow reads it.
#pragma once

#include <windows.h>

namespace vantrel::module_lock {

LONG add() noexcept;      // returns the new count
LONG release() noexcept;  // returns the new count
LONG count() noexcept;

}  // namespace vantrel::module_lock
