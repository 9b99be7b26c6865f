#include "registry_script.h"

#include "ascii.h"
#include "held_key.h"
#include "undo_journal.h"

#include <cstddef>
#include <new>
#include <utility>

// GCC 12 reports a dangling pointer when it inlines held_key's destructor into the recursive
// delete_tree (mingw -O2); the key it names is a copied handle value, not a pointer.
#if defined(__GNUC__) && !defined(__clang__) && __GNUC__ >= 12
#pragma GCC diagnostic ignored "-Wdangling-pointer"
#endif

namespace vantrel::registrar {

status from_win32(long error) {
    if (error <= 0) return static_cast<status>(error);
    return static_cast<status>(0x80070000u | (static_cast<std::uint32_t>(error) & 0xFFFFu));
}

value_data string_value(const std::string& text) {
    value_data v{reg_sz, text};
    v.bytes.push_back('\0');
    return v;
}

value_data dword_value(std::uint32_t number) {
    value_data v{reg_dword, std::string(4, '\0')};
    for (char& byte : v.bytes) {
        byte = static_cast<char>(number & 0xFFu);
        number >>= 8;
    }
    return v;
}

namespace {

using key = key_store::key;
using access = key_store::access;

// Blocks nest no deeper than this; keeps the parser and the walk off the end of the stack.
constexpr int max_nesting = 64;
// The registry itself nests keys at most 512 deep; a store that claims more is not trusted.
constexpr int max_tree_depth = 512;
constexpr long error_tree_too_deep = 1010;  // ERROR_BADKEY
constexpr std::size_t max_variable_name = 31;

// Registry names fold case; ASCII folding is what the 8-bit names need, independent of locale.
char fold(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) return false;
    }
    return true;
}

// Wiping these would take every other class or type library with them.
bool is_protected(const std::string& name) {
    return same_name(name, "CLSID") || same_name(name, "TYPELIB");
}

status substitute(const std::string& in, const std::vector<variable>& variables,
                  std::string* out) {
    out->reserve(in.size());
    std::size_t i = 0;
    for (;;) {
        std::size_t open = in.find('%', i);
        if (open == std::string::npos) break;
        std::size_t close = in.find('%', open + 1);
        if (close == std::string::npos) return disp_e_exception;
        out->append(in, i, open - i);
        std::size_t length = close - open - 1;
        if (length == 0) {
            out->push_back('%');
        } else if (length > max_variable_name) {
            return e_fail;
        } else {
            std::string name = in.substr(open + 1, length);
            const variable* match = nullptr;
            for (const variable& v : variables) {
                if (same_name(v.name, name)) {
                    match = &v;
                    break;
                }
            }
            if (!match) return disp_e_exception;
            out->append(match->value);
        }
        i = close + 1;
    }
    out->append(in, i, std::string::npos);
    return s_ok;
}

// Words are separated by white space; "{", "}" and "=" are words of their own, so a bare key
// name such as {8CA177E3-...} needs no quotes. A quoted text may hold anything but a zero byte.
struct token {
    enum kind_t { end, open, close, equals, word, quoted } kind = end;
    std::string text;
    bool is_text() const { return kind == word || kind == quoted; }
    bool is(const char* keyword) const { return kind == word && same_name(text, keyword); }
};

class lexer {
public:
    explicit lexer(const std::string& s) : s_(s) {}

    // False for malformed text: an unterminated quote, or a zero byte, which an 8-bit registry
    // call would take as the end of a name (a name that passed the CLSID check could then
    // reach the store as "CLSID").
    bool next(token* t) {
        while (pos_ < s_.size() && is_space(s_[pos_])) ++pos_;
        t->text.clear();
        if (pos_ == s_.size()) {
            t->kind = token::end;
            return true;
        }
        if (s_[pos_] == '\'') {
            ++pos_;
            for (;;) {
                if (pos_ == s_.size()) return false;
                char c = s_[pos_++];
                if (c == '\0') return false;
                if (c == '\'') {
                    if (pos_ == s_.size() || s_[pos_] != '\'') break;
                    ++pos_;
                }
                t->text.push_back(c);
            }
            t->kind = token::quoted;
            return true;
        }
        std::size_t start = pos_;
        for (; pos_ < s_.size() && !is_space(s_[pos_]); ++pos_) {
            if (s_[pos_] == '\0') return false;
        }
        t->text.assign(s_, start, pos_ - start);
        t->kind = t->text == "{"   ? token::open
                  : t->text == "}" ? token::close
                  : t->text == "=" ? token::equals
                                   : token::word;
        return true;
    }

private:
    static bool is_space(char c) {
        return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
    }

    const std::string& s_;
    std::size_t pos_ = 0;
};

enum class marker { none, no_remove, force_remove, remove };

struct entry {
    bool is_value = false;  // "val name = ..." rather than a key
    marker mark = marker::none;
    std::string name;
    bool has_data = false;
    bool is_dword = false;
    std::string text;
    std::uint32_t number = 0;
    std::vector<entry> children;
};

struct root_block {
    key root = 0;
    std::vector<entry> entries;
};

bool parse_dword(const std::string& t, std::uint32_t* out) {
    unsigned base = 10;
    std::size_t i = 0;
    if (t.size() > 2 && t[0] == '0' && fold(t[1]) == 'x') {
        base = 16;
        i = 2;
    }
    if (i == t.size()) return false;
    std::uint64_t v = 0;
    for (; i < t.size(); ++i) {
        char c = fold(t[i]);
        unsigned digit = c >= '0' && c <= '9'   ? static_cast<unsigned>(c - '0')
                         : c >= 'a' && c <= 'f' ? static_cast<unsigned>(c - 'a' + 10)
                                                : 16;
        if (digit >= base) return false;
        v = v * base + digit;
        if (v > 0xFFFFFFFFu) return false;
    }
    *out = static_cast<std::uint32_t>(v);
    return true;
}

// The whole script is parsed before anything is written, so a malformed one changes nothing.
class parser {
public:
    parser(const std::string& text, key_store& store) : lex_(text), store_(store) {}

    bool parse(std::vector<root_block>* out) {
        if (!advance()) return false;
        while (tok_.kind != token::end) {
            if (!tok_.is_text()) return false;
            root_block b;
            b.root = store_.root(ascii_upper(tok_.text));
            if (b.root == 0 || !advance() || tok_.kind != token::open) return false;
            if (!parse_block(&b.entries, 1)) return false;
            out->push_back(std::move(b));
        }
        return true;
    }

private:
    bool advance() { return lex_.next(&tok_); }

    // Starts at "{" and ends on the word after the matching "}".
    bool parse_block(std::vector<entry>* out, int depth) {
        if (depth > max_nesting || !advance()) return false;
        while (tok_.kind != token::close) {
            entry e;
            if (tok_.is("val")) {
                e.is_value = true;
                if (!advance() || !tok_.is_text()) return false;
                e.name = tok_.text;
                if (!advance() || tok_.kind != token::equals || !parse_data(&e)) return false;
            } else {
                e.mark = tok_.is("NoRemove")      ? marker::no_remove
                         : tok_.is("ForceRemove") ? marker::force_remove
                         : tok_.is("Delete")      ? marker::remove
                                                  : marker::none;
                if (e.mark != marker::none && !advance()) return false;
                if (!tok_.is_text() || is_keyword() || !valid_key_name(tok_.text)) return false;
                e.name = tok_.text;
                if (!advance()) return false;
                if (tok_.kind == token::equals && !parse_data(&e)) return false;
                if (tok_.kind == token::open && !parse_block(&e.children, depth + 1)) return false;
            }
            out->push_back(std::move(e));
        }
        return advance();
    }

    // Starts at "=" and ends on the word after the data.
    bool parse_data(entry* e) {
        if (!advance()) return false;
        e->is_dword = tok_.is("d");
        if (!e->is_dword && !tok_.is("s")) return false;
        if (!advance() || !tok_.is_text()) return false;
        if (e->is_dword) {
            if (!parse_dword(tok_.text, &e->number)) return false;
        } else {
            e->text = tok_.text;
        }
        e->has_data = true;
        return advance();
    }

    bool is_keyword() const {
        return tok_.is("val") || tok_.is("NoRemove") || tok_.is("ForceRemove") || tok_.is("Delete");
    }

    // The store's calls take a backslash as a path separator, so such a name could reach past
    // the key it names; an empty one names the parent itself.
    static bool valid_key_name(const std::string& name) {
        return !name.empty() && name.find('\\') == std::string::npos;
    }

    lexer lex_;
    key_store& store_;
    token tok_;
};

class runner {
public:
    explicit runner(key_store& store) : store_(store) {}

    status apply(key parent, const std::vector<entry>& entries, mode m) {
        for (const entry& e : entries) {
            if (m == mode::unregistration) {
                unregister_entry(parent, e);
            } else if (status st = register_entry(parent, e); st != s_ok) {
                return st;
            }
        }
        return s_ok;
    }

private:
    status register_entry(key parent, const entry& e) {
        if (e.is_value) return from_win32(write(parent, e.name, e));
        if (e.mark == marker::remove) {
            if (!is_protected(e.name)) delete_tree(parent, e.name, 0);
            return s_ok;
        }
        // A deletion that stops part-way leaves the rest to be merged with, as an open would.
        if (e.mark == marker::force_remove && !is_protected(e.name)) {
            delete_tree(parent, e.name, 0);
        }
        held_key k(store_);
        if (k.open(parent, e.name, access::all) != error_success &&
            k.open(parent, e.name, access::read) != error_success &&
            k.create(parent, e.name) != error_success) {
            return disp_e_exception;
        }
        // A key that opened only for reading fails here, on its first write, rather than
        // leaving an entry that looks registered but holds someone else's data.
        if (e.has_data) {
            if (long rc = write(k.get(), std::string(), e); rc != error_success) {
                return from_win32(rc);
            }
        }
        return apply(k.get(), e.children, mode::registration);
    }

    void unregister_entry(key parent, const entry& e) {
        if (e.is_value) {
            store_.delete_value(parent, e.name);
            return;
        }
        if (e.mark == marker::remove) return;  // nothing of it was written
        bool has_subkeys = false;
        {
            held_key k(store_);
            if (k.open(parent, e.name, access::all) != error_success &&
                k.open(parent, e.name, access::read) != error_success) {
                return;  // absent or unreadable: leave it and all below it alone
            }
            apply(k.get(), e.children, mode::unregistration);
            std::string first;
            has_subkeys = store_.enum_subkey(k.get(), 0, &first) == error_success;
        }
        if (e.mark == marker::no_remove) return;
        if (!has_subkeys) {
            store_.delete_key(parent, e.name);
        } else if (!is_protected(e.name)) {
            delete_tree(parent, e.name, 0);
        }
    }

    long write(key k, const std::string& value_name, const entry& e) {
        return store_.set_value(k, value_name,
                                e.is_dword ? dword_value(e.number) : string_value(e.text));
    }

    // Deletes parent\name with everything below it, depth first; stops at the first failure.
    long delete_tree(key parent, const std::string& name, int depth) {
        if (depth > max_tree_depth) return error_tree_too_deep;
        {
            held_key k(store_);
            long rc = k.open(parent, name, access::all);
            if (rc != error_success) return rc;
            std::string child;
            // Always the first subkey: each one deleted shifts the rest down.
            while ((rc = store_.enum_subkey(k.get(), 0, &child)) == error_success) {
                rc = delete_tree(k.get(), child, depth + 1);
                if (rc != error_success) return rc;
            }
            if (rc != error_no_more_items) return rc;
        }
        return store_.delete_key(parent, name);
    }

    key_store& store_;
};

template <typename F>
status guarded(F f) noexcept {
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return e_outofmemory;
    } catch (...) {
        return e_fail;
    }
}

status execute(const std::string& script, const std::vector<variable>& variables, mode m,
               key_store& store) {
    return guarded([&] {
        std::string text;
        if (status st = substitute(script, variables, &text); st != s_ok) return st;
        std::vector<root_block> blocks;
        if (!parser(text, store).parse(&blocks)) return disp_e_exception;
        runner r(store);
        for (const root_block& b : blocks) {
            if (status st = r.apply(b.root, b.entries, m); st != s_ok) return st;
        }
        return s_ok;
    });
}

}  // namespace

status run_script(const std::string& script, const std::vector<variable>& variables, mode m,
                  key_store& store) {
    if (m == mode::unregistration) return execute(script, variables, m, store);
    undo_journal journal(store);
    return register_script(script, variables, journal);
}

status register_script(const std::string& script, const std::vector<variable>& variables,
                       undo_journal& journal) {
    const status st = execute(script, variables, mode::registration, journal);
    if (st != s_ok) journal.undo();
    return st;
}

}  // namespace vantrel::registrar
