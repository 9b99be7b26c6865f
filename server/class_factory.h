// The class object of a creatable class: hands out instances and keeps the library loaded
// while a client holds it.
#pragma once

#include "owners.h"

#include <windows.h>

namespace vantrel {

using instance_creator = HRESULT (*)(IUnknown* outer, REFIID riid, void** ppv) noexcept;

class class_factory final : public IClassFactory {
public:
    // Makes a class object for creator and asks it for riid; destroyed again if that fails.
    static HRESULT create(instance_creator creator, REFIID riid, void** ppv) noexcept;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;
    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) noexcept override;
    STDMETHODIMP LockServer(BOOL lock) noexcept override;

private:
    explicit class_factory(instance_creator creator) noexcept : creator_(creator) {}
    ~class_factory() = default;

    LONG volatile refs_ = 0;
    critical_section lock_;
    instance_creator creator_;
};

}  // namespace vantrel
