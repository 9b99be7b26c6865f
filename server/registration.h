// Self-registration: the registry script resource and the type library.
#pragma once

#include "undo_journal.h"

#include <windows.h>


namespace vantrel {

// The library's registry script (resource "REGISTRY" 101). Registration records its changes
// in journal and, when it fails, undoes the journal whole (registrar::register_script).
HRESULT register_registry_script(registrar::undo_journal& journal) noexcept;
HRESULT unregister_registry_script() noexcept;

// The type library, from the library file or else the ".tlb" file beside it.
HRESULT register_type_library() noexcept;
// Succeeds when the library's entry is gone afterwards (also when there was none).
HRESULT unregister_type_library() noexcept;

}  // namespace vantrel
