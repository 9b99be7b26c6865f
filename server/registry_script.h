// The registrar's script language: a small text that lists registry keys and values, run in
// registration mode (write them) or unregistration mode (take them out again). Platform-neutral:
// the registry is reached through key_store, so the interpreter runs natively in tests and
// under a fuzzer.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel::registrar {

// Statuses are HRESULT values; a Win32 error code e travels as 0x80070000 | e.
using status = std::int32_t;
inline constexpr status s_ok = 0;
inline constexpr status e_fail = static_cast<status>(0x80004005u);
inline constexpr status e_outofmemory = static_cast<status>(0x8007000Eu);
inline constexpr status disp_e_exception = static_cast<status>(0x80020009u);
status from_win32(long error);  // 0 stays 0

// Win32 error codes the interpreter looks at.
inline constexpr long error_success = 0;
inline constexpr long error_file_not_found = 2;
inline constexpr long error_access_denied = 5;
inline constexpr long error_no_more_items = 259;

// A value as the registry stores it. The interpreter writes REG_SZ (the text with its
// terminating zero) and REG_DWORD (four bytes, least significant first); values of any other
// type are only read and put back, so their bytes stay opaque.
inline constexpr std::uint32_t reg_sz = 1;
inline constexpr std::uint32_t reg_dword = 4;
struct value_data {
    std::uint32_t type = 0;
    std::string bytes;
};
value_data string_value(const std::string& text);
value_data dword_value(std::uint32_t number);

// The 8-bit registry, as the interpreter needs it. Keys are opaque handles owned by the store;
// every key the interpreter opens or creates it closes again. Functions return Win32 codes.
class key_store {
public:
    using key = std::uintptr_t;
    enum class access { all, read };

    virtual ~key_store() = default;
    // The predefined root keys by their script names, which the interpreter passes upper-cased:
    // HKCR, HKCU, HKLM, HKU, HKCC and the long forms (HKEY_CLASSES_ROOT ...). Returns 0 for a
    // name that is no root.
    virtual key root(const std::string& name) = 0;
    virtual long open_key(key parent, const std::string& name, access a, key* out) = 0;
    // Opens the key with full access, creating it if need be; created (when given) tells
    // whether it is new.
    virtual long create_key(key parent, const std::string& name, key* out, bool* created) = 0;
    virtual void close_key(key k) = 0;
    // value_name empty: the key's default value.
    virtual long set_value(key k, const std::string& value_name, const value_data& data) = 0;
    // error_file_not_found when the key has no such value.
    virtual long query_value(key k, const std::string& value_name, value_data* out) = 0;
    virtual long delete_value(key k, const std::string& value_name) = 0;
    // Deletes a subkey that has no subkeys of its own (with its values).
    virtual long delete_key(key parent, const std::string& name) = 0;
    // The name of the index-th subkey, or error_no_more_items.
    virtual long enum_subkey(key k, std::uint32_t index, std::string* name) = 0;
    // The name of the index-th value (empty for the default value), or error_no_more_items.
    virtual long enum_value(key k, std::uint32_t index, std::string* name) = 0;
};

// A %name% variable and its replacement text (8-bit, already quoted as the script needs).
struct variable {
    std::string name;
    std::string value;
};

enum class mode { registration, unregistration };

class undo_journal;

// Runs script against store. Variables are replaced first ("%%" is one "%"; names compare
// without regard to case). Registration runs through an undo_journal over store: when it fails
// part-way it takes back what this run changed, and only that, then returns the first failure.
status run_script(const std::string& script, const std::vector<variable>& variables, mode m,
                  key_store& store);

// Registration through a journal the caller keeps, for a caller with a later step of its own
// that can still fail: it then calls journal.undo(). A run that fails undoes the whole journal,
// earlier runs through it included, and returns the first failure.
status register_script(const std::string& script, const std::vector<variable>& variables,
                       undo_journal& journal);

}  // namespace vantrel::registrar
