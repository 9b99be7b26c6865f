#include "memory_key_store.h"

#include <cstdio>
#include <iterator>
#include <stdexcept>

namespace vantrel::registrar {

namespace {

constexpr long error_invalid_handle = 6;
constexpr long error_invalid_parameter = 87;
constexpr long error_key_deleted = 1018;

// Root handles are their index plus one; they are never opened or closed.
constexpr const char* root_names[][2] = {
    {"HKCR", "HKEY_CLASSES_ROOT"}, {"HKCU", "HKEY_CURRENT_USER"}, {"HKLM", "HKEY_LOCAL_MACHINE"},
    {"HKU", "HKEY_USERS"},         {"HKCC", "HKEY_CURRENT_CONFIG"},
};

std::string fold(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

int root_index(const std::string& name) {
    std::string f = fold(name);
    for (int i = 0; i < 5; ++i) {
        if (f == fold(root_names[i][0]) || f == fold(root_names[i][1])) return i;
    }
    return -1;
}

std::vector<std::string> split(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = path.find('\\', start);
        parts.push_back(path.substr(start, end - start));
        if (end == std::string::npos) return parts;
        start = end + 1;
    }
}

bool valid_name(const std::string& name) {
    return !name.empty() && name.find('\\') == std::string::npos;
}

}  // namespace

memory_key_store::memory_key_store() {
    for (const auto& names : root_names) {
        auto n = std::make_shared<node>();
        n->path = names[0];
        n->folded = fold(names[0]);
        handles_[roots_.size() + 1] = handle{n, access::all};
        roots_.push_back(n);
    }
}

key_store::key memory_key_store::root(const std::string& name) {
    int i = root_index(name);
    return i < 0 ? 0 : static_cast<key>(i + 1);
}

long memory_key_store::use(key k, handle** h) {
    auto it = handles_.find(k);
    if (it == handles_.end()) {
        ++bad_handle_uses_;
        return error_invalid_handle;
    }
    if (it->second.n->deleted) return error_key_deleted;
    *h = &it->second;
    return error_success;
}

memory_key_store::rights memory_key_store::rights_of(const node& n) const {
    auto it = rights_.find(n.folded);
    return it == rights_.end() ? rights::full : it->second;
}

std::shared_ptr<memory_key_store::node> memory_key_store::add_subkey(node& parent,
                                                                     const std::string& name) {
    auto n = std::make_shared<node>();
    n->path = parent.path + '\\' + name;
    n->folded = fold(n->path);
    parent.subkeys[fold(name)] = n;
    return n;
}

long memory_key_store::open_key(key parent, const std::string& name, access a, key* out) {
    handle* h = nullptr;
    if (long rc = use(parent, &h)) return rc;
    if (!valid_name(name)) return error_invalid_parameter;
    auto it = h->n->subkeys.find(fold(name));
    if (it == h->n->subkeys.end()) return error_file_not_found;
    rights r = rights_of(*it->second);
    if (r == rights::none || (r == rights::read_only && a == access::all)) {
        return error_access_denied;
    }
    *out = next_handle_++;
    handles_[*out] = handle{it->second, a};
    return error_success;
}

long memory_key_store::count_write() {
    return ++writes_ == failing_write_ ? failing_write_error_ : error_success;
}

long memory_key_store::create_key(key parent, const std::string& name, key* out, bool* created) {
    if (created) *created = false;
    if (long rc = count_write()) return rc;
    handle* h = nullptr;
    if (long rc = use(parent, &h)) return rc;
    if (!valid_name(name)) return error_invalid_parameter;
    auto it = h->n->subkeys.find(fold(name));
    std::shared_ptr<node> n;
    if (it != h->n->subkeys.end()) {
        n = it->second;
        if (rights_of(*n) != rights::full) return error_access_denied;
    } else {
        if (h->a != access::all) return error_access_denied;
        n = add_subkey(*h->n, name);
        journal_.push_back("key " + n->path);
        if (created) *created = true;
    }
    *out = next_handle_++;
    handles_[*out] = handle{n, access::all};
    return error_success;
}

void memory_key_store::close_key(key k) {
    if (k >= 1 && k <= roots_.size()) return;
    if (handles_.erase(k) == 0) ++bad_handle_uses_;
}

long memory_key_store::set_value(key k, const std::string& value_name, const value_data& data) {
    if (long rc = count_write()) return rc;
    handle* h = nullptr;
    if (long rc = use(k, &h)) return rc;
    if (h->a != access::all) return error_access_denied;
    // As the registry does, a value written again keeps the spelling of its name.
    stored_value& v = h->n->values.try_emplace(fold(value_name), stored_value{value_name, {}})
                          .first->second;
    v.data = data;
    journal_.push_back("value " + h->n->path + ' ' + (value_name.empty() ? "@" : value_name));
    return error_success;
}

long memory_key_store::query_value(key k, const std::string& value_name, value_data* out) {
    handle* h = nullptr;
    if (long rc = use(k, &h)) return rc;
    auto it = h->n->values.find(fold(value_name));
    if (it == h->n->values.end()) return error_file_not_found;
    *out = it->second.data;
    return error_success;
}

long memory_key_store::delete_value(key k, const std::string& value_name) {
    handle* h = nullptr;
    if (long rc = use(k, &h)) return rc;
    if (h->a != access::all) return error_access_denied;
    return h->n->values.erase(fold(value_name)) ? error_success : error_file_not_found;
}

long memory_key_store::delete_key(key parent, const std::string& name) {
    handle* h = nullptr;
    if (long rc = use(parent, &h)) return rc;
    if (!valid_name(name)) return error_invalid_parameter;
    if (h->a != access::all) return error_access_denied;
    auto it = h->n->subkeys.find(fold(name));
    if (it == h->n->subkeys.end()) return error_file_not_found;
    // As the registry does, refuse a key that still has subkeys.
    if (rights_of(*it->second) != rights::full || !it->second->subkeys.empty()) {
        return error_access_denied;
    }
    it->second->deleted = true;  // handles still open on it now fail
    h->n->subkeys.erase(it);
    return error_success;
}

long memory_key_store::enum_subkey(key k, std::uint32_t index, std::string* name) {
    handle* h = nullptr;
    if (long rc = use(k, &h)) return rc;
    if (index >= h->n->subkeys.size()) return error_no_more_items;
    auto it = h->n->subkeys.begin();
    std::advance(it, index);
    const std::string& path = it->second->path;
    *name = path.substr(path.rfind('\\') + 1);
    return error_success;
}

long memory_key_store::enum_value(key k, std::uint32_t index, std::string* name) {
    handle* h = nullptr;
    if (long rc = use(k, &h)) return rc;
    if (index >= h->n->values.size()) return error_no_more_items;
    auto it = h->n->values.begin();
    std::advance(it, index);
    *name = it->second.name;
    return error_success;
}

memory_key_store::node* memory_key_store::walk(const std::string& path, bool create) const {
    std::vector<std::string> parts = split(path);
    int r = root_index(parts[0]);
    if (r < 0) throw std::invalid_argument("no root key in " + path);
    node* n = roots_[static_cast<std::size_t>(r)].get();
    for (std::size_t i = 1; i < parts.size(); ++i) {
        auto it = n->subkeys.find(fold(parts[i]));
        if (it != n->subkeys.end()) {
            n = it->second.get();
        } else if (create) {
            n = add_subkey(*n, parts[i]).get();
        } else {
            return nullptr;
        }
    }
    return n;
}

std::string memory_key_store::folded_path(const std::string& path) const {
    std::size_t sep = path.find('\\');
    int r = root_index(path.substr(0, sep));
    if (r < 0) throw std::invalid_argument("no root key in " + path);
    std::string rest = sep == std::string::npos ? std::string() : path.substr(sep);
    return fold(root_names[r][0] + rest);
}

void memory_key_store::put_key(const std::string& path) { walk(path, true); }

void memory_key_store::put_value(const std::string& path, const std::string& value_name,
                                 const value_data& data) {
    walk(path, true)->values[fold(value_name)] = stored_value{value_name, data};
}

void memory_key_store::put_string(const std::string& path, const std::string& value_name,
                                  const std::string& data) {
    put_value(path, value_name, string_value(data));
}

void memory_key_store::set_rights(const std::string& path, rights r) {
    rights_[folded_path(path)] = r;
}

void memory_key_store::fail_write(std::size_t n, long error) {
    failing_write_ = writes_ + n;
    failing_write_error_ = error;
}

bool memory_key_store::has_key(const std::string& path) const {
    return walk(path, false) != nullptr;
}

namespace {

// Text with one terminating zero and none inside shows as "text", four-byte dwords as
// dword:0000000a, anything else as its type and bytes, so that two dumps differ wherever the
// values do.
std::string show(const value_data& v) {
    const std::string& b = v.bytes;
    if (v.type == reg_sz && !b.empty() && b.find('\0') == b.size() - 1) {
        return '"' + b.substr(0, b.size() - 1) + '"';
    }
    char buf[20];
    if (v.type == reg_dword && b.size() == 4) {
        std::uint32_t number = 0;
        for (std::size_t i = 4; i-- > 0;) number = number << 8 | static_cast<unsigned char>(b[i]);
        std::snprintf(buf, sizeof buf, "dword:%08x", static_cast<unsigned>(number));
        return buf;
    }
    std::snprintf(buf, sizeof buf, "hex(%x):", static_cast<unsigned>(v.type));
    std::string out = buf;
    for (std::size_t i = 0; i < b.size(); ++i) {
        std::snprintf(buf, sizeof buf, i ? ",%02x" : "%02x", static_cast<unsigned char>(b[i]));
        out += buf;
    }
    return out;
}

}  // namespace

std::string memory_key_store::value(const std::string& path,
                                    const std::string& value_name) const {
    const node* n = walk(path, false);
    if (!n) return std::string();
    auto it = n->values.find(fold(value_name));
    if (it == n->values.end()) return std::string();
    return show(it->second.data);
}

void memory_key_store::dump(const node& n, std::string* out) {
    out->append(n.path).push_back('\n');
    for (const auto& [folded, v] : n.values) {
        out->append(v.name.empty() ? "  @=" : "  \"" + v.name + "\"=");
        out->append(show(v.data)).push_back('\n');
    }
    for (const auto& [folded, sub] : n.subkeys) dump(*sub, out);
}

std::string memory_key_store::dump() const {
    std::string out;
    for (const auto& r : roots_) {
        if (!r->values.empty()) {
            dump(*r, &out);
            continue;
        }
        for (const auto& [folded, sub] : r->subkeys) dump(*sub, &out);
    }
    return out;
}

}  // namespace vantrel::registrar
