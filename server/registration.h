// Self-registration: the registry script resource and the type library.
#pragma once

#include <windows.h>


namespace vantrel {

// Runs the library's registry script (resource "REGISTRY" 101) in one mode.
HRESULT run_registry_script(bool register_it) noexcept;

// The type library, from the library file or else the ".tlb" file beside it.
HRESULT register_type_library() noexcept;
void unregister_type_library() noexcept;  // quietly does nothing when it cannot

}  // namespace vantrel
