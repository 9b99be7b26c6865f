// Self-registration: the registry script resource and the type library.
#pragma once

#include <windows.h>

#include <string>

namespace vantrel {

// Runs the library's registry script (resource "REGISTRY" 101) in one mode.
HRESULT run_registry_script(bool register_it) noexcept;

HRESULT register_server() noexcept;    // script, then the type library
HRESULT unregister_server() noexcept;  // both, whatever fails; always S_OK

// Where the type library is looked for when the library file itself offers none: the path with
// everything from its last "." replaced by ".tlb" (or ".tlb" appended).
std::string fallback_type_library_path(const std::string& module_path);
// The folder part of a path: up to and including its last "\", "/" or ":".
std::string help_directory(const std::string& path);

}  // namespace vantrel
