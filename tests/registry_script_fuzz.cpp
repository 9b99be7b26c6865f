// Feeds arbitrary bytes to the registry script interpreter in both modes over a store that has
// keys to replace and keys that refuse, and stops on any key left open or closed twice.
#include "memory_key_store.h"
#include "registry_script.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

using namespace vantrel::registrar;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    const std::vector<variable> variables = {{"MODULE", "C:\\Bob''s\\VantrelCtrl.dll"}};
    memory_key_store store;
    store.put_string("HKCR\\CLSID\\{other}\\InprocServer32", "ThreadingModel", "Both");
    store.put_key("HKCR\\k\\k\\k");
    store.put_key("HKCU\\Locked\\Below");
    store.set_rights("HKCU\\Locked", memory_key_store::rights::read_only);
    store.set_rights("HKCU\\Hidden", memory_key_store::rights::none);
    store.put_key("HKCU\\Hidden");
    store.fail_create("HKCU\\k\\Refused");
    store.fail_value_writes("HKLM\\Failing", 1013);

    for (mode m : {mode::registration, mode::unregistration, mode::registration}) {
        run_script(script, variables, m, store);
        if (store.open_handles() != 0 || store.bad_handle_uses() != 0) std::abort();
    }
    return 0;
}
