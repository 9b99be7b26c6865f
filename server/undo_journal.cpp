#include "undo_journal.h"

#include "held_key.h"

#include <utility>

namespace vantrel::registrar {

// A handle the journal did not hand out is a root: the interpreter passes no other kind.
undo_journal::path undo_journal::path_of(key k) const {
    auto it = open_.find(k);
    return it != open_.end() ? it->second : path{k, {}};
}

undo_journal::path undo_journal::below(key parent, const std::string& name) const {
    path p = path_of(parent);
    p.names.push_back(name);
    return p;
}

void undo_journal::track(key k, path p) {
    try {
        open_[k] = std::move(p);
    } catch (...) {
        store_.close_key(k);  // the caller never sees the handle
        throw;
    }
}

// Recorded before it is made, so that running out of memory never leaves a change made but
// unrecorded; dropped again when the store refuses it.
template <typename F>
long undo_journal::recorded(change c, F make) {
    changes_.push_back(std::move(c));
    const long rc = make();
    if (rc != error_success) changes_.pop_back();
    return rc;
}

key_store::key undo_journal::root(const std::string& name) { return store_.root(name); }

long undo_journal::open_key(key parent, const std::string& name, access a, key* out) {
    path p = below(parent, name);
    const long rc = store_.open_key(parent, name, a, out);
    if (rc == error_success) track(*out, std::move(p));
    return rc;
}

long undo_journal::create_key(key parent, const std::string& name, key* out, bool* created) {
    path p = below(parent, name);
    changes_.push_back(change{change::kind::key_created, p});
    bool is_new = false;
    const long rc = store_.create_key(parent, name, out, &is_new);
    if (rc != error_success || !is_new) changes_.pop_back();  // an existing key stays
    if (created) *created = rc == error_success && is_new;
    if (rc == error_success) track(*out, std::move(p));
    return rc;
}

void undo_journal::close_key(key k) {
    open_.erase(k);
    store_.close_key(k);
}

// A value whose old data cannot be read is left alone rather than changed beyond recall.
long undo_journal::save_old_value(key k, const std::string& value_name, change* c) {
    c->value_name = value_name;
    const long rc = store_.query_value(k, value_name, &c->old);
    c->had_value = rc == error_success;
    return rc == error_file_not_found ? error_success : rc;
}

long undo_journal::set_value(key k, const std::string& value_name, const value_data& data) {
    change c{change::kind::value_changed, path_of(k)};
    if (long rc = save_old_value(k, value_name, &c)) return rc;
    return recorded(std::move(c), [&] { return store_.set_value(k, value_name, data); });
}

long undo_journal::query_value(key k, const std::string& value_name, value_data* out) {
    return store_.query_value(k, value_name, out);
}

long undo_journal::delete_value(key k, const std::string& value_name) {
    change c{change::kind::value_changed, path_of(k)};
    if (long rc = save_old_value(k, value_name, &c)) return rc;
    return recorded(std::move(c), [&] { return store_.delete_value(k, value_name); });
}

long undo_journal::read_values(key k, std::vector<named_value>* out) {
    for (std::uint32_t i = 0;; ++i) {
        named_value v;
        long rc = store_.enum_value(k, i, &v.name);
        if (rc == error_no_more_items) return error_success;
        if (rc == error_success) rc = store_.query_value(k, v.name, &v.data);
        if (rc != error_success) return rc;
        out->push_back(std::move(v));
    }
}

// As with values, a key whose values cannot be read is not deleted.
long undo_journal::delete_key(key parent, const std::string& name) {
    change c{change::kind::key_deleted, below(parent, name)};
    {
        held_key k(store_);
        if (long rc = k.open(parent, name, access::read)) return rc;
        if (long rc = read_values(k.get(), &c.values)) return rc;
    }
    return recorded(std::move(c), [&] { return store_.delete_key(parent, name); });
}

long undo_journal::enum_subkey(key k, std::uint32_t index, std::string* name) {
    return store_.enum_subkey(k, index, name);
}

long undo_journal::enum_value(key k, std::uint32_t index, std::string* name) {
    return store_.enum_value(k, index, name);
}

// Calls f with the key at the first depth names of p, reached from k (names[i] onwards). Each
// step opens for all access where the key grants it, as registration does; with create, a
// missing step is made again.
template <typename F>
void undo_journal::visit(key k, const path& p, std::size_t i, std::size_t depth, bool create,
                         const F& f) {
    if (i == depth) return f(k);
    held_key next(store_);
    const std::string& name = p.names[i];
    if (next.open(k, name, access::all) != error_success &&
        next.open(k, name, access::read) != error_success &&
        (!create || next.create(k, name) != error_success)) {
        return;
    }
    visit(next.get(), p, i + 1, depth, create, f);
}

void undo_journal::reverse(const change& c) {
    const path& p = c.where;
    switch (c.what) {
        case change::kind::key_created:
            visit(p.root, p, 0, p.names.size() - 1, false,
                  [&](key parent) { store_.delete_key(parent, p.names.back()); });
            break;
        case change::kind::value_changed:
            visit(p.root, p, 0, p.names.size(), false, [&](key k) {
                if (c.had_value) {
                    store_.set_value(k, c.value_name, c.old);
                } else {
                    store_.delete_value(k, c.value_name);
                }
            });
            break;
        case change::kind::key_deleted:
            // Newest first, a deleted tree comes back parent before child.
            visit(p.root, p, 0, p.names.size(), true, [&](key k) {
                for (const named_value& v : c.values) store_.set_value(k, v.name, v.data);
            });
            break;
    }
}

void undo_journal::undo() noexcept {
    for (auto it = changes_.rbegin(); it != changes_.rend(); ++it) {
        try {
            reverse(*it);
        } catch (...) {
            // Out of memory for this step; the others may still go through.
        }
    }
    changes_.clear();
}

}  // namespace vantrel::registrar
