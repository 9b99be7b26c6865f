#include "registration.h"

#include "module.h"
#include "owners.h"
#include "registry_script.h"
#include "text.h"
#include "type_library_path.h"
#include "win32_key_store.h"
#include "win32_status.h"

#include <VantrelCtrl.h>

#include <algorithm>
#include <cstdio>
#include <new>

namespace vantrel {
namespace {

constexpr int registry_script_id = 101;

// The library file's full, long path in the ANSI code page.
HRESULT module_path(std::string& path) {
    char buffer[MAX_PATH];
    const DWORD n = GetModuleFileNameA(module::handle(), buffer, MAX_PATH);
    if (n == 0) return win32_failure();
    if (n >= MAX_PATH) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    // The path as loaded serves when its long form cannot be had (a folder that cannot be
    // listed, or a long form beyond MAX_PATH).
    char long_form[MAX_PATH];
    const DWORD m = GetLongPathNameA(buffer, long_form, MAX_PATH);
    path = m > 0 && m < MAX_PATH ? long_form : buffer;
    return S_OK;
}

// The script up to its first zero byte. A missing or empty script fails: registering nothing
// must not read as success.
HRESULT read_registry_script(const std::string& path, std::string& script) {
    unique_module file(LoadLibraryExA(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
    if (!file.get()) return win32_failure();
    HRSRC resource = FindResourceA(file.get(), MAKEINTRESOURCEA(registry_script_id), "REGISTRY");
    if (!resource) return win32_failure();
    HGLOBAL data = LoadResource(file.get(), resource);
    if (!data) return win32_failure();
    const char* text = static_cast<const char*>(LockResource(data));
    if (!text) return win32_failure();
    const DWORD size = SizeofResource(file.get(), resource);
    script.assign(text, std::find(text, text + size, '\0'));
    return script.empty() ? E_FAIL : S_OK;
}

HRESULT load_type_library(com_ptr<ITypeLib>& library, std::string& loaded_from) {
    HRESULT hr = module_path(loaded_from);
    if (FAILED(hr)) return hr;
    std::wstring wide;
    hr = to_wide(CP_ACP, loaded_from, wide);
    if (SUCCEEDED(hr)) hr = LoadTypeLib(wide.c_str(), library.put());
    if (SUCCEEDED(hr)) return hr;
    loaded_from = fallback_type_library_path(loaded_from);
    hr = to_wide(CP_ACP, loaded_from, wide);
    return FAILED(hr) ? hr : LoadTypeLib(wide.c_str(), library.put());
}

HRESULT register_type_library_from_file() {
    com_ptr<ITypeLib> library;
    std::string path;
    HRESULT hr = load_type_library(library, path);
    if (FAILED(hr)) return hr;
    std::wstring wide_path, wide_help;
    if (FAILED(hr = to_wide(CP_ACP, path, wide_path)) ||
        FAILED(hr = to_wide(CP_ACP, help_directory(path), wide_help))) {
        return hr;
    }
    return RegisterTypeLib(library.get(), &wide_path[0], &wide_help[0]);
}

// Whether HKCR still holds the library's entry for its kind of code (win32, win64). A key that
// cannot be opened for another reason than its absence counts as present.
bool type_library_entry_exists(const TLIBATTR& attr) {
    wchar_t wide_guid[39];
    if (StringFromGUID2(attr.guid, wide_guid, 39) == 0) return true;
    char guid[39];
    for (int i = 0; i < 39; ++i) guid[i] = static_cast<char>(wide_guid[i]);  // ASCII only
    const char* kind = attr.syskind == SYS_WIN64   ? "win64"
                       : attr.syskind == SYS_WIN32 ? "win32"
                                                   : "win16";
    char path[128];
    std::snprintf(path, sizeof path, "TypeLib\\%s\\%x.%x\\%lx\\%s", guid, attr.wMajorVerNum,
                  attr.wMinorVerNum, static_cast<unsigned long>(attr.lcid), kind);
    HKEY key = nullptr;
    const LSTATUS rc = RegOpenKeyExA(HKEY_CLASSES_ROOT, path, 0, KEY_READ, &key);
    if (rc == ERROR_SUCCESS) RegCloseKey(key);
    return rc != ERROR_FILE_NOT_FOUND;
}

// Succeeds when the library's entry is gone afterwards, so also when it was never there (the
// runtime's own status for that differs between platforms). The entry is named by the type
// library's attributes as this build declares them, not as its file holds them: a copy whose
// type library cannot be read must still take back what an earlier registration wrote.
HRESULT remove_type_library_entry() {
    TLIBATTR own{};
    own.guid = LIBID_VANTRELCTRLLib;
    own.wMajorVerNum = 1;
    own.wMinorVerNum = 0;
    own.lcid = 0;
    own.syskind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    // Looked up at run time, as the platform's oldest automation runtimes lack it.
    HRESULT hr = E_NOTIMPL;
    unique_module oleaut(LoadLibraryA("oleaut32.dll"));
    if (oleaut.get()) {
        using unregister_fn = HRESULT(WINAPI*)(REFGUID, WORD, WORD, LCID, SYSKIND);
        auto unregister = reinterpret_cast<unregister_fn>(
            reinterpret_cast<void*>(GetProcAddress(oleaut.get(), "UnRegisterTypeLib")));
        if (unregister) {
            hr = unregister(own.guid, own.wMajorVerNum, own.wMinorVerNum, own.lcid, own.syskind);
        }
    }
    if (!type_library_entry_exists(own)) return S_OK;
    return FAILED(hr) ? hr : E_FAIL;
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
        hr = read_registry_script(path, script);
        return FAILED(hr) ? hr : run(script, quoted);
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
        return registrar::run_script(script, {{"Module", module}}, registrar::mode::unregistration,
                                     registry);
    });
}

HRESULT register_type_library() noexcept {
    try {
        return register_type_library_from_file();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT unregister_type_library() noexcept {
    try {
        return remove_type_library_entry();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

}  // namespace vantrel
