// A registry held in memory, for tests and the fuzzer. Names compare without regard to case
// and keep the case they were created with; values keep their raw type and bytes; handles
// remember the access they were opened with; hooks make chosen keys refuse access the way a
// locked-down registry does, and a chosen write fail the way a failing one does.
#pragma once

#include "registry_script.h"

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace vantrel::registrar {

class memory_key_store final : public key_store {
public:
    // What a key's security grants. A read-only key cannot be opened with full access, nor
    // created over, nor deleted; a key with no rights cannot be opened at all.
    enum class rights { full, read_only, none };

    memory_key_store();

    key root(const std::string& name) override;
    long open_key(key parent, const std::string& name, access a, key* out) override;
    long create_key(key parent, const std::string& name, key* out, bool* created) override;
    void close_key(key k) override;
    long set_value(key k, const std::string& value_name, const value_data& data) override;
    long query_value(key k, const std::string& value_name, value_data* out) override;
    long delete_value(key k, const std::string& value_name) override;
    long delete_key(key parent, const std::string& name) override;
    long enum_subkey(key k, std::uint32_t index, std::string* name) override;
    long enum_value(key k, std::uint32_t index, std::string* name) override;

    // Set-up and inspection, by path from a root: "HKCR\\CLSID\\{...}" (long root names too).
    void put_key(const std::string& path);  // with any missing parents
    void put_value(const std::string& path, const std::string& value_name,
                   const value_data& data);
    void put_string(const std::string& path, const std::string& value_name,
                    const std::string& data);
    void set_rights(const std::string& path, rights r);  // also holds for a key created later
    // Every create_key and set_value call is a write; the n-th from now (1: the next) fails
    // with error, and the writes after it succeed again.
    void fail_write(std::size_t n, long error);
    bool has_key(const std::string& path) const;
    // A value as dump() shows it ("text", dword:0000000a or hex(3):01,ff), empty when absent.
    std::string value(const std::string& path, const std::string& value_name) const;
    // Every key (in name order, depth first) with its values; "@" is the default value.
    std::string dump() const;
    // "key <path>" for each key created and "value <path> <name>" for each value written
    // through the key_store calls, in order.
    const std::vector<std::string>& journal() const { return journal_; }
    std::size_t open_handles() const { return handles_.size() - roots_.size(); }
    std::size_t bad_handle_uses() const { return bad_handle_uses_; }  // unknown or closed keys

private:
    struct stored_value {
        std::string name;  // as first written
        value_data data;
    };
    struct node {
        std::string path;    // as created
        std::string folded;  // lower case, for the hooks
        std::map<std::string, std::shared_ptr<node>> subkeys;  // by folded name
        std::map<std::string, stored_value> values;            // by folded name
        bool deleted = false;
    };
    struct handle {
        std::shared_ptr<node> n;
        access a;
    };

    long use(key k, handle** h);
    long count_write();
    rights rights_of(const node& n) const;
    static std::shared_ptr<node> add_subkey(node& parent, const std::string& name);
    node* walk(const std::string& path, bool create) const;
    std::string folded_path(const std::string& path) const;
    static void dump(const node& n, std::string* out);

    std::vector<std::shared_ptr<node>> roots_;
    std::map<key, handle> handles_;
    key next_handle_ = 0x100;
    std::size_t bad_handle_uses_ = 0;
    std::map<std::string, rights> rights_;
    std::size_t writes_ = 0;
    std::size_t failing_write_ = 0;  // 0: none
    long failing_write_error_ = 0;
    std::vector<std::string> journal_;
};

}  // namespace vantrel::registrar
