// The library's entry points: load and unload, the class table, DllGetClassObject and
// DllCanUnloadNow.
#include "class_factory.h"
#include "comm_ads.h"
#include "module.h"
#include "registration.h"
#include "undo_journal.h"
#include "win32_key_store.h"

#include <atomic>

namespace vantrel {
namespace {

struct class_entry {
    const CLSID* clsid;
    HRESULT (*register_script)(registrar::undo_journal& journal) noexcept;
    HRESULT (*unregister_script)() noexcept;
    HRESULT (*create_class_object)(instance_creator, REFIID, void**) noexcept;
    instance_creator create_instance;
    std::atomic<IUnknown*> class_object;  // the library's own reference, made on first request
};

class_entry g_classes[] = {
    {&CLSID_CommAds, register_registry_script, unregister_registry_script, class_factory::create,
     CommAds::create_instance, nullptr},
};

critical_section& class_table_lock() noexcept {
    static critical_section lock;
    return lock;
}

HRESULT get_class_object(REFCLSID clsid, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    for (class_entry& entry : g_classes) {
        if (!IsEqualCLSID(clsid, *entry.clsid) || !entry.create_class_object) continue;
        HRESULT hr = S_OK;
        IUnknown* object = entry.class_object.load(std::memory_order_acquire);
        if (!object) {
            lock_guard hold(class_table_lock());
            object = entry.class_object.load(std::memory_order_acquire);
            if (!object) {
                // Published only once it holds its reference, so no other thread can release
                // a half-made object.
                hr = entry.create_class_object(entry.create_instance, IID_IUnknown,
                                               reinterpret_cast<void**>(&object));
                if (SUCCEEDED(hr)) entry.class_object.store(object, std::memory_order_release);
            }
        }
        if (object) return object->QueryInterface(riid, ppv);
        return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    return CLASS_E_CLASSNOTAVAILABLE;
}

// Every class's script, then the type library, all through one journal over the registry, so
// that any failure (a later class's missing script too) takes every change back and the
// registry holds what it held before (apart from whatever the type library call itself wrote).
HRESULT register_server() noexcept {
    win32_key_store registry;
    registrar::undo_journal journal(registry);
    HRESULT hr = S_OK;
    for (const class_entry& entry : g_classes) {
        if (FAILED(hr = entry.register_script(journal))) break;
    }
    if (SUCCEEDED(hr)) hr = register_type_library();
    if (FAILED(hr)) journal.undo();
    return hr;
}

// Every class's script, then the type library; keys already gone are no failure. Stops at the
// first failure, so that a library whose script cannot be read leaves the registration whole.
HRESULT unregister_server() noexcept {
    for (const class_entry& entry : g_classes) {
        const HRESULT hr = entry.unregister_script();
        if (FAILED(hr)) return hr;
    }
    return unregister_type_library();
}

void process_detach() noexcept {
    for (class_entry& entry : g_classes) {
        if (IUnknown* object = entry.class_object.exchange(nullptr)) object->Release();
    }
    module::run_terminations();
}

}  // namespace
}  // namespace vantrel

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        vantrel::module::set_handle(instance);
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH) {
        vantrel::process_detach();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    return vantrel::get_class_object(clsid, riid, ppv);
}

STDAPI DllCanUnloadNow() { return vantrel::module::lock_count() == 0 ? S_OK : S_FALSE; }

STDAPI DllRegisterServer() { return vantrel::register_server(); }

STDAPI DllUnregisterServer() { return vantrel::unregister_server(); }
