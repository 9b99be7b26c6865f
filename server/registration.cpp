#include "registration.h"

#include "module.h"
#include "owners.h"
#include "registry_script.h"
#include "type_library_path.h"
#include "win32_key_store.h"

#include <VantrelCtrl.h>

#include <new>

namespace vantrel {
namespace {

constexpr int registry_script_id = 101;

HRESULT last_error_status() {
    const DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : S_OK;
}

// The library file's full, long path in the ANSI code page.
HRESULT module_path(std::string& path) {
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(module::handle(), buffer, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return n ? HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) : last_error_status();
    char long_form[MAX_PATH];
    const DWORD m = GetLongPathNameA(buffer, long_form, MAX_PATH);
    path = m > 0 && m < MAX_PATH ? long_form : buffer;
    return S_OK;
}

std::wstring widen(const std::string& text) {
    const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<std::size_t>(n) : 1, L'\0');
    if (n > 0) MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, &wide[0], n);
    wide.resize(wide.size() - 1);
    return wide;
}

HRESULT read_registry_script(const std::string& path, std::string& script, bool* found) {
    *found = false;
    unique_module file(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!file.get()) return last_error_status();
    HRSRC resource = FindResourceA(file.get(), MAKEINTRESOURCEA(registry_script_id), "REGISTRY");
    if (!resource) return last_error_status();
    HGLOBAL data = LoadResource(file.get(), resource);
    const DWORD size = SizeofResource(file.get(), resource);
    const char* text = data ? static_cast<const char*>(LockResource(data)) : nullptr;
    if (!text) return last_error_status();
    // A copy that ends at the text's first zero byte, terminated either way.
    std::size_t length = 0;
    while (length < size && text[length] != '\0') ++length;
    script.assign(text, length);
    *found = true;
    return S_OK;
}

HRESULT load_type_library(com_ptr<ITypeLib>& library, std::string& loaded_from) {
    HRESULT hr = module_path(loaded_from);
    if (FAILED(hr)) return hr;
    hr = LoadTypeLib(widen(loaded_from).c_str(), library.put());
    if (SUCCEEDED(hr)) return hr;
    loaded_from = fallback_type_library_path(loaded_from);
    return LoadTypeLib(widen(loaded_from).c_str(), library.put());
}

HRESULT register_type_library_from_file() {
    com_ptr<ITypeLib> library;
    std::string path;
    HRESULT hr = load_type_library(library, path);
    if (FAILED(hr)) return hr;
    std::wstring wide_path = widen(path), wide_help = widen(help_directory(path));
    return RegisterTypeLib(library.get(), &wide_path[0], &wide_help[0]);
}

void unregister_type_library_from_file() {
    com_ptr<ITypeLib> library;
    std::string path;
    if (FAILED(load_type_library(library, path))) return;
    TLIBATTR* attr = nullptr;
    if (FAILED(library->GetLibAttr(&attr))) return;
    // Looked up at run time, as the platform's oldest automation runtimes lack it.
    unique_module oleaut(LoadLibraryA("oleaut32.dll"));
    if (oleaut.get()) {
        using unregister_fn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
        auto unregister = reinterpret_cast<unregister_fn>(
            reinterpret_cast<void*>(GetProcAddress(oleaut.get(), "UnRegisterTypeLib")));
        if (unregister) {
            unregister(attr->guid, attr->wMajorVerNum, attr->wMinorVerNum, attr->lcid,
                       attr->syskind);
        }
    }
    library->ReleaseTLibAttr(attr);
}

// Calls run with the library's registry script and its path, quoted as the script's text needs.
template <typename F>
HRESULT with_registry_script(F run) noexcept {
    try {
        std::string path;
        HRESULT hr = module_path(path);
        if (FAILED(hr)) return hr;
        std::string quoted;
        for (char c : path) {
            quoted += c;
            if (c == '\'') quoted += '\'';
        }
        std::string script;
        bool found = false;
        hr = read_registry_script(path, script, &found);
        if (!found) return hr;
        return run(script, quoted);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace

HRESULT register_registry_script(registrar::undo_journal& journal) noexcept {
    return with_registry_script([&](const std::string& script, const std::string& module) {
        return registrar::register_script(script, {{"Module", module}}, journal);
    });
}

HRESULT unregister_registry_script() noexcept {
    return with_registry_script([](const std::string& script, const std::string& module) {
        win32_key_store registry;
        return registrar::run_script(script, {{"Module", module}},
                                     registrar::mode::unregistration, registry);
    });
}

HRESULT register_type_library() noexcept {
    try {
        return register_type_library_from_file();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void unregister_type_library() noexcept {
    try {
        unregister_type_library_from_file();
    } catch (const std::bad_alloc&) {
    }
}

}  // namespace vantrel
