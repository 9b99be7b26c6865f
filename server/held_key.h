// An open key of a key_store that is closed again however its scope is left; shared by the
// interpreter and the undo journal.
#pragma once

#include "registry_script.h"

#include <string>

namespace vantrel::registrar {

class held_key {
public:
    using key = key_store::key;

    explicit held_key(key_store& store) : store_(store) {}
    held_key(const held_key&) = delete;
    held_key& operator=(const held_key&) = delete;
    ~held_key() {
        if (held_) store_.close_key(k_);
    }

    long open(key parent, const std::string& name, key_store::access a) {
        key k = 0;
        long rc = store_.open_key(parent, name, a, &k);
        take(rc, k);
        return rc;
    }
    long create(key parent, const std::string& name) {
        key k = 0;
        long rc = store_.create_key(parent, name, &k, nullptr);
        take(rc, k);
        return rc;
    }
    key get() const { return k_; }

private:
    void take(long rc, key k) {
        if (rc != error_success) return;
        k_ = k;
        held_ = true;
    }

    key_store& store_;
    key k_ = 0;
    bool held_ = false;
};

}  // namespace vantrel::registrar
