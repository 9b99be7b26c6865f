#include "class_factory.h"

#include "module.h"

#include <new>

namespace vantrel {

HRESULT class_factory::create(instance_creator creator, REFIID riid, void** ppv) noexcept {
    auto* object = new (std::nothrow) class_factory(creator);
    if (!object) return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    if (FAILED(hr)) delete object;
    return hr;
}

STDMETHODIMP class_factory::QueryInterface(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IClassFactory)) {
        return E_NOINTERFACE;
    }
    *ppv = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
}

// The library's class table holds the first reference; a second one is a client's, and only
// clients keep the library loaded.
STDMETHODIMP_(ULONG) class_factory::AddRef() noexcept {
    lock_guard hold(lock_);
    const LONG count = InterlockedIncrement(&refs_);
    if (count == 2) module::lock();
    return static_cast<ULONG>(count);
}

STDMETHODIMP_(ULONG) class_factory::Release() noexcept {
    LONG count;
    {
        lock_guard hold(lock_);
        count = InterlockedDecrement(&refs_);
    }
    if (count == 0) {
        delete this;
    } else if (count == 1) {
        module::unlock();
    }
    return static_cast<ULONG>(count);
}

STDMETHODIMP class_factory::CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer && !IsEqualIID(riid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
    return creator_(outer, riid, ppv);
}

STDMETHODIMP class_factory::LockServer(BOOL lock) noexcept {
    if (lock) {
        module::lock();
    } else {
        module::unlock();
    }
    return S_OK;
}

}  // namespace vantrel
