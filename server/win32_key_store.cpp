#include "win32_key_store.h"

#include <windows.h>

#include <utility>


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

long win32_key_store::create_key(key parent, const std::string& name, key* out, bool* created) {
    HKEY k = nullptr;
    DWORD disposition = 0;
    const long rc = RegCreateKeyExA(to_hkey(parent), name.c_str(), 0, nullptr,
                                    REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, &k,
                                    &disposition);
    *out = rc == ERROR_SUCCESS ? from_hkey(k) : 0;
    if (created) *created = rc == ERROR_SUCCESS && disposition == REG_CREATED_NEW_KEY;
    return rc;
}

void win32_key_store::close_key(key k) {
    if (k && !is_root(to_hkey(k))) RegCloseKey(to_hkey(k));
}

long win32_key_store::set_value(key k, const std::string& value_name,
                                const registrar::value_data& data) {
    return RegSetValueExA(to_hkey(k), value_name_or_default(value_name), 0, data.type,
                          reinterpret_cast<const BYTE*>(data.bytes.data()),
                          static_cast<DWORD>(data.bytes.size()));
}

long win32_key_store::query_value(key k, const std::string& value_name,
                                  registrar::value_data* out) {
    // Asked first for the size; the value can grow between calls, and the 8-bit call may
    // report a text's size in the registry's own 16-bit form, larger than what it returns.
    std::string bytes;
    for (;;) {
        DWORD type = 0;
        DWORD size = static_cast<DWORD>(bytes.size());
        const long rc = RegQueryValueExA(
            to_hkey(k), value_name_or_default(value_name), nullptr, &type,
            bytes.empty() ? nullptr : reinterpret_cast<BYTE*>(&bytes[0]), &size);
        const bool sized_only = rc == ERROR_SUCCESS && bytes.empty() && size > 0;
        if (rc == ERROR_MORE_DATA || sized_only) {
            bytes.resize(size);
            continue;
        }
        if (rc != ERROR_SUCCESS) return rc;
        bytes.resize(size);
        out->type = type;
        out->bytes = std::move(bytes);
        return rc;
    }
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

long win32_key_store::enum_value(key k, std::uint32_t index, std::string* name) {
    std::string buffer(16384, '\0');  // the longest value name the registry takes, and its zero
    DWORD length = static_cast<DWORD>(buffer.size());
    const long rc = RegEnumValueA(to_hkey(k), index, &buffer[0], &length, nullptr, nullptr,
                                  nullptr, nullptr);
    if (rc == ERROR_SUCCESS) name->assign(buffer, 0, length);
    return rc;
}

}  // namespace vantrel
