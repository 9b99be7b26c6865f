// The registry script's key store over the system registry's 8-bit functions.
#pragma once

#include "registry_script.h"

namespace vantrel {

class win32_key_store final : public registrar::key_store {
public:
    key root(const std::string& name) override;
    long open_key(key parent, const std::string& name, access a, key* out) override;
    long create_key(key parent, const std::string& name, key* out, bool* created) override;
    void close_key(key k) override;
    long set_value(key k, const std::string& value_name,
                   const registrar::value_data& data) override;
    long query_value(key k, const std::string& value_name, registrar::value_data* out) override;
    long delete_value(key k, const std::string& value_name) override;
    long delete_key(key parent, const std::string& name) override;
    long enum_subkey(key k, std::uint32_t index, std::string* name) override;
    long enum_value(key k, std::uint32_t index, std::string* name) override;
};

}  // namespace vantrel
