#include "dispatch.h"

#include "module.h"
#include "owners.h"

#include <VantrelCtrl.h>

#include <atomic>
#include <cwchar>
#include <new>
#include <vector>

namespace vantrel::dispatch {
namespace {

struct name_row {
    unique_bstr name;
    UINT length;
    DISPID id;
};

struct loaded {
    com_ptr<ITypeInfo> info;
    std::vector<name_row> names;
};

// Published once fully built; readers that find it set take no lock.
std::atomic<loaded*> g_loaded{nullptr};

void unload(void*) noexcept { delete g_loaded.exchange(nullptr); }

HRESULT build_name_cache(ITypeInfo* info, std::vector<name_row>& rows) {
    TYPEATTR* attr = nullptr;
    HRESULT hr = info->GetTypeAttr(&attr);
    if (FAILED(hr)) return hr;
    const UINT functions = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    for (UINT i = 0; i < functions; ++i) {
        FUNCDESC* func = nullptr;
        hr = info->GetFuncDesc(i, &func);
        if (FAILED(hr)) return hr;
        const DISPID id = func->memid;
        info->ReleaseFuncDesc(func);
        unique_bstr name;
        hr = info->GetDocumentation(id, name.put(), nullptr, nullptr, nullptr);
        if (FAILED(hr)) return hr;
        const UINT length = name.length();
        rows.push_back({std::move(name), length, id});
    }
    return S_OK;
}

HRESULT load(LCID lcid, loaded** out) noexcept {
    *out = g_loaded.load(std::memory_order_acquire);
    if (*out) return S_OK;
    lock_guard hold(module::type_info_lock());
    *out = g_loaded.load(std::memory_order_acquire);
    if (*out) return S_OK;

    com_ptr<ITypeLib> library;
    HRESULT hr = LoadRegTypeLib(LIBID_VANTRELCTRLLib, 1, 0, lcid, library.put());
    if (FAILED(hr)) return hr;
    auto* fresh = new (std::nothrow) loaded;
    if (!fresh) return E_OUTOFMEMORY;
    hr = library->GetTypeInfoOfGuid(IID_ICommAds, fresh->info.put());
    if (SUCCEEDED(hr)) {
        try {
            hr = build_name_cache(fresh->info.get(), fresh->names);
        } catch (const std::bad_alloc&) {
            hr = E_OUTOFMEMORY;
        }
    }
    if (FAILED(hr) || !module::add_termination(unload, nullptr)) {
        delete fresh;
        return FAILED(hr) ? hr : E_OUTOFMEMORY;
    }
    g_loaded.store(fresh, std::memory_order_release);
    *out = fresh;
    return S_OK;
}

}  // namespace

HRESULT type_info(LCID lcid, ITypeInfo** info) noexcept {
    loaded* l = nullptr;
    const HRESULT hr = load(lcid, &l);
    *info = SUCCEEDED(hr) ? l->info.get() : nullptr;
    return hr;
}

HRESULT ids_of_names(LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) noexcept {
    loaded* l = nullptr;
    const HRESULT hr = load(lcid, &l);
    if (FAILED(hr)) return hr;
    if (count && (!names || !ids)) return E_POINTER;
    for (UINT i = 0; i < count; ++i) {
        const wchar_t* name = names[i];
        const std::size_t length = name ? std::wcslen(name) : 0;
        bool found = false;
        for (auto row = l->names.rbegin(); row != l->names.rend(); ++row) {
            if (row->length == length && std::wmemcmp(row->name.get(), name, length) == 0) {
                ids[i] = row->id;
                found = true;
                break;
            }
        }
        if (!found) return l->info->GetIDsOfNames(names, count, ids);
    }
    return S_OK;
}

}  // namespace vantrel::dispatch
