#include "win32_key_store.h"

#include <windows.h>


namespace vantrel {
namespace {

HKEY to_hkey(registrar::key_store::key k) { return reinterpret_cast<HKEY>(k); }
registrar::key_store::key from_hkey(HKEY h) { return reinterpret_cast<registrar::key_store::key>(h); }

struct root_name {
    const char* short_name;
    const char* long_name;
    HKEY key;
};
const root_name roots[] = {
    {"HKCR", "HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
    {"HKCU", "HKEY_CURRENT_USER", HKEY_CURRENT_USER},
    {"HKLM", "HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE},
    {"HKU", "HKEY_USERS", HKEY_USERS},
    {"HKCC", "HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
};

bool is_root(HKEY k) {
    for (const root_name& r : roots)
        if (r.key == k) return true;
    return false;
}

const char* value_name_or_default(const std::string& name) {
    return name.empty() ? nullptr : name.c_str();
}

}  // namespace

registrar::key_store::key win32_key_store::root(const std::string& name) {
    for (const root_name& r : roots) {
        if (name == r.short_name || name == r.long_name) return from_hkey(r.key);
    }
    return 0;
}

long win32_key_store::open_key(key parent, const std::string& name, access a, key* out) {
    HKEY k = nullptr;
    const REGSAM sam = a == access::all ? KEY_ALL_ACCESS : KEY_READ;
    const long rc = RegOpenKeyExA(to_hkey(parent), name.c_str(), 0, sam, &k);
    *out = rc == ERROR_SUCCESS ? from_hkey(k) : 0;
    return rc;
}

long win32_key_store::create_key(key parent, const std::string& name, key* out) {
    HKEY k = nullptr;
    const long rc = RegCreateKeyExA(to_hkey(parent), name.c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k, nullptr);
    *out = rc == ERROR_SUCCESS ? from_hkey(k) : 0;
    return rc;
}

void win32_key_store::close_key(key k) {
    if (k && !is_root(to_hkey(k))) RegCloseKey(to_hkey(k));
}

long win32_key_store::set_string(key k, const std::string& value_name, const std::string& data) {
    return RegSetValueExA(to_hkey(k), value_name_or_default(value_name), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>(data.size() + 1));
}

long win32_key_store::set_dword(key k, const std::string& value_name, std::uint32_t data) {
    const DWORD value = data;
    return RegSetValueExA(to_hkey(k), value_name_or_default(value_name), 0, REG_DWORD,
                          reinterpret_cast<const BYTE*>(&value), sizeof value);
}

long win32_key_store::delete_value(key k, const std::string& value_name) {
    return RegDeleteValueA(to_hkey(k), value_name_or_default(value_name));
}

long win32_key_store::delete_key(key parent, const std::string& name) {
    return RegDeleteKeyA(to_hkey(parent), name.c_str());
}

long win32_key_store::enum_subkey(key k, std::uint32_t index, std::string* name) {
    char buffer[256];
    DWORD length = sizeof buffer;
    const long rc =
        RegEnumKeyExA(to_hkey(k), index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc == ERROR_SUCCESS) name->assign(buffer, length);
    return rc;
}

}  // namespace vantrel
