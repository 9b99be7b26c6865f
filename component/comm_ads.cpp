#include "comm_ads.h"

#include "dispatch.h"
#include "frame.h"
#include "error_info.h"
#include "module.h"

#include <new>

namespace vantrel {
namespace {

enum class face { commads, primary, marshaler };
struct interface_row {
    const IID* iid;
    face answer;
};
// Searched in this order; IUnknown is answered before the table with the identity.
const interface_row interface_table[] = {
    {&IID_ICommAds, face::commads},
    {&IID_IDispatch, face::commads},
    {&IID_ISupportErrorInfo, face::primary},
    {&IID_IMarshal, face::marshaler},
};

// Interfaces whose failures publish an error record.
const IID* const error_info_interfaces[] = {&IID_ICommAds};

}  // namespace

CommAds::CommAds() noexcept { module::lock(); }

CommAds::~CommAds() { module::unlock(); }

HRESULT CommAds::create_instance(IUnknown* outer, REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (outer) return CLASS_E_NOAGGREGATION;

    CommAds* object = new (std::nothrow) CommAds;
    if (!object) return E_OUTOFMEMORY;

    // Held across final construction so that an AddRef/Release pair made by the marshaler
    // cannot destroy the half-built object.
    InterlockedIncrement(&object->refs_);
    HRESULT hr = object->final_construct();
    InterlockedDecrement(&object->refs_);
    if (hr == S_OK) hr = object->QueryInterface(riid, ppv);
    if (hr != S_OK) {
        object->destroy();
        return FAILED(hr) ? hr : E_UNEXPECTED;
    }
    return S_OK;
}

void CommAds::destroy() noexcept {
    // Pinned so that a QueryInterface/Release pair during final release cannot come back here.
    refs_ = 1;
    final_release();
    delete this;
}

HRESULT CommAds::final_construct() noexcept {
    port_ = INVALID_HANDLE_VALUE;
    constexpr frame_timings defaults;
    standby_duration_ = defaults.standby_duration;
    reset_duration_ = defaults.reset_duration;
    clock_rate_ = defaults.clock_rate;
    return CoCreateFreeThreadedMarshaler(identity(), marshaler_.put());
}

void CommAds::final_release() noexcept {
    ClosePortInternal();
    marshaler_.reset();
}

STDMETHODIMP CommAds::QueryInterface(REFIID riid, void** ppv) noexcept {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (IsEqualIID(riid, IID_IUnknown)) {
        *ppv = identity();
        AddRef();
        return S_OK;
    }
    for (const interface_row& row : interface_table) {
        if (!IsEqualIID(riid, *row.iid)) continue;
        switch (row.answer) {
            case face::commads:
                *ppv = static_cast<ICommAds*>(this);
                break;
            case face::primary:
                *ppv = static_cast<ISupportErrorInfo*>(this);
                break;
            case face::marshaler:
                return marshaler_ ? marshaler_->QueryInterface(riid, ppv) : E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CommAds::AddRef() noexcept { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) CommAds::Release() noexcept {
    const LONG remaining = InterlockedDecrement(&refs_);
    if (remaining == 0) destroy();
    return static_cast<ULONG>(remaining);
}

STDMETHODIMP CommAds::InterfaceSupportsErrorInfo(REFIID riid) noexcept {
    for (const IID* iid : error_info_interfaces) {
        if (IsEqualIID(riid, *iid)) return S_OK;
    }
    return S_FALSE;
}

ICommAds* CommAds::identity() noexcept { return this; }

HRESULT CommAds::fail(const char* message) noexcept {
    ReportError(CLSID_CommAds, message, GUID_NULL, E_FAIL);
    return E_FAIL;
}

STDMETHODIMP CommAds::GetTypeInfoCount(UINT* count) noexcept {
    if (!count) return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP CommAds::GetTypeInfo(UINT, LCID lcid, ITypeInfo** info) noexcept {
    if (!info) return E_POINTER;
    *info = nullptr;
    ITypeInfo* shared = nullptr;
    const HRESULT hr = dispatch::type_info(lcid, &shared);
    if (FAILED(hr)) return hr;
    shared->AddRef();
    *info = shared;
    return S_OK;
}

// Automation reserves riid; anything but IID_NULL is a caller's mistake to refuse.
STDMETHODIMP CommAds::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                    DISPID* ids) noexcept {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    return dispatch::ids_of_names(names, count, lcid, ids);
}

STDMETHODIMP CommAds::Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                             VARIANT* result, EXCEPINFO* excep, UINT* arg_err) noexcept {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    ITypeInfo* info = nullptr;
    const HRESULT hr = dispatch::type_info(lcid, &info);
    if (FAILED(hr)) return hr;
    return info->Invoke(static_cast<ICommAds*>(this), id, flags, params, result, excep, arg_err);
}

HRESULT CommAds::get_timing(const LONG& field, LONG* pVal) noexcept {
    if (!pVal) return E_POINTER;
    lock_guard hold(lock_);
    *pVal = field;
    return S_OK;
}

HRESULT CommAds::put_timing(LONG& field, LONG value) noexcept {
    lock_guard hold(lock_);
    field = value;
    return S_OK;
}

STDMETHODIMP CommAds::get_ClockRate(LONG* pVal) noexcept { return get_timing(clock_rate_, pVal); }
STDMETHODIMP CommAds::put_ClockRate(LONG newVal) noexcept {
    return put_timing(clock_rate_, newVal);
}
STDMETHODIMP CommAds::get_StandByDuration(LONG* pVal) noexcept {
    return get_timing(standby_duration_, pVal);
}
STDMETHODIMP CommAds::put_StandByDuration(LONG newVal) noexcept {
    return put_timing(standby_duration_, newVal);
}
STDMETHODIMP CommAds::get_ResetDuration(LONG* pVal) noexcept {
    return get_timing(reset_duration_, pVal);
}
STDMETHODIMP CommAds::put_ResetDuration(LONG newVal) noexcept {
    return put_timing(reset_duration_, newVal);
}

}  // namespace vantrel
