// State that belongs to the library as a whole rather than to one object.
#pragma once

#include "owners.h"

#include <windows.h>

namespace vantrel::module {

// The one count of reasons to stay loaded: live objects, client references to the class
// object and LockServer locks all add to it; DllCanUnloadNow reads it.
LONG lock() noexcept;    // returns the new count
LONG unlock() noexcept;  // returns the new count
LONG lock_count() noexcept;

// The library's own module handle (its file, its resources); null when linked into a program.
HINSTANCE handle() noexcept;
void set_handle(HINSTANCE instance) noexcept;

// Clean-up actions run when the library is unloaded, newest first.
using termination_action = void (*)(void* argument) noexcept;
bool add_termination(termination_action action, void* argument) noexcept;
void run_terminations() noexcept;

// Serialises the one-time load of the interface's type information and guards the
// termination list.
critical_section& type_info_lock() noexcept;

}  // namespace vantrel::module
