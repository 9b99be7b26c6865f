// A key_store that hands every call on to another one and records, before each change, what it
// takes to reverse it. Registration runs through one, so that a run that fails part-way can
// take back what it changed, and nothing else.
#pragma once

#include "registry_script.h"

#include <cstddef>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::registrar {

class undo_journal final : public key_store {
public:
    explicit undo_journal(key_store& store) : store_(store) {}

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

    // Reverses the recorded changes, newest first; a step that fails does not stop the rest.
    // Leaves the journal empty.
    void undo() noexcept;

private:
    // By the time undo runs the handles are closed, so keys are found again by path.
    struct path {
        key root = 0;
        std::vector<std::string> names;
    };
    struct named_value {
        std::string name;
        value_data data;
    };
    struct change {
        enum class kind { key_created, key_deleted, value_changed };
        change(kind w, path p) : what(w), where(std::move(p)) {}

        kind what;
        path where;
        std::string value_name;           // value_changed
        bool had_value = false;           // value_changed: whether value_name held old before
        value_data old;                   // value_changed
        std::vector<named_value> values;  // key_deleted: what the key held
    };

    path path_of(key k) const;
    path below(key parent, const std::string& name) const;
    void track(key k, path p);
    long save_old_value(key k, const std::string& value_name, change* c);
    long read_values(key k, std::vector<named_value>* out);
    template <typename F>
    long recorded(change c, F make);
    template <typename F>
    void visit(key k, const path& p, std::size_t i, std::size_t depth, bool create, const F& f);
    void reverse(const change& c);

    key_store& store_;
    std::map<key, path> open_;
    std::vector<change> changes_;
};

}  // namespace vantrel::registrar
