// Feeds arbitrary bytes to the registry script interpreter in both modes over a store that has
// keys to replace and keys that refuse, and stops on any key left open or closed twice, and on
// a failed registration that leaves the store other than it found it.
#include "memory_key_store.h"
#include "registry_script.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace vantrel::registrar;

namespace {

// A key that a failed run deleted comes back with the script's spelling of its name.
std::string folded(std::string s) {
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    const std::vector<variable> variables = {{"MODULE", "C:\\Bob''s\\VantrelCtrl.dll"}};
    memory_key_store store;
    store.put_string("HKCR\\CLSID\\{other}\\InprocServer32", "ThreadingModel", "Both");
    store.put_value("HKCR\\k\\k\\k", "bin", value_data{3, std::string("\0\xff", 2)});
    store.put_key("HKCU\\Locked\\Below");
    store.set_rights("HKCU\\Locked", memory_key_store::rights::read_only);
    store.set_rights("HKCU\\Hidden", memory_key_store::rights::none);
    store.put_key("HKCU\\Hidden");

    for (mode m : {mode::registration, mode::unregistration, mode::registration}) {
        const std::string before = store.dump();
        const status st = run_script(script, variables, m, store);
        if (store.open_handles() != 0 || store.bad_handle_uses() != 0) std::abort();
        if (m == mode::registration && st != s_ok && folded(store.dump()) != folded(before)) {
            std::abort();
        }
    }
    return 0;
}
