// Where registration looks for the type library besides the library file itself.
#pragma once

#include <string>

namespace vantrel {

// The path with everything from its last "." replaced by ".tlb", or ".tlb" appended when it
// has no "." at all (the "." may lie in a folder name).
inline std::string fallback_type_library_path(const std::string& module_path) {
    const std::size_t dot = module_path.rfind('.');
    return (dot == std::string::npos ? module_path : module_path.substr(0, dot)) + ".tlb";
}

// The folder part of a path: up to and including its last "\", "/" or ":".
inline std::string help_directory(const std::string& path) {
    const std::size_t end = path.find_last_of("\\/:");
    return end == std::string::npos ? std::string() : path.substr(0, end + 1);
}

}  // namespace vantrel
