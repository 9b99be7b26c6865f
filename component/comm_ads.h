// CommAds: drives one CM17A transmitter through the DTR and RTS lines of one serial port.
#pragma once

#include "owners.h"
#include "port_name.h"

#include <VantrelCtrl.h>

namespace vantrel {

struct line_write;

// The first base is the primary face: its vtable carries IUnknown, InterfaceSupportsErrorInfo
// and then the class's own virtual operations in the order declared below. ICommAds is the
// object's identity.
class CommAds : public ISupportErrorInfo, public ICommAds {
public:
    // Creates an instance and hands out riid. Aggregation is refused.
    static HRESULT create_instance(IUnknown* outer, REFIID riid, void** ppv) noexcept;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) noexcept override;
    STDMETHODIMP_(ULONG) AddRef() noexcept override;
    STDMETHODIMP_(ULONG) Release() noexcept override;

    // ISupportErrorInfo
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) noexcept override;

    // The class's own operations, in primary-table order.
    virtual ICommAds* identity() noexcept;
    virtual HRESULT OpenPortInternal() noexcept;
    virtual HRESULT ClosePortInternal() noexcept;
    virtual HRESULT SendCommand(const char* code) noexcept;
    virtual HRESULT SendBits(const char* symbols) noexcept;
    virtual HRESULT SendBit(char symbol) noexcept;
    virtual HRESULT Reset() noexcept;

    // IDispatch
    STDMETHODIMP GetTypeInfoCount(UINT* count) noexcept override;
    STDMETHODIMP GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) noexcept override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                               DISPID* ids) noexcept override;
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* excep, UINT* arg_err) noexcept override;

    // ICommAds
    STDMETHODIMP get_PortName(BSTR* pVal) noexcept override;
    STDMETHODIMP put_PortName(BSTR newVal) noexcept override;
    STDMETHODIMP OpenPort() noexcept override;
    STDMETHODIMP ClosePort() noexcept override;
    STDMETHODIMP put_DTR(LONG newVal) noexcept override;
    STDMETHODIMP put_RTS(LONG newVal) noexcept override;
    STDMETHODIMP put_On(BSTR bstrSwitchID, LONG newVal) noexcept override;
    STDMETHODIMP get_ClockRate(LONG* pVal) noexcept override;
    STDMETHODIMP put_ClockRate(LONG newVal) noexcept override;
    STDMETHODIMP get_StandByDuration(LONG* pVal) noexcept override;
    STDMETHODIMP put_StandByDuration(LONG newVal) noexcept override;
    STDMETHODIMP get_ResetDuration(LONG* pVal) noexcept override;
    STDMETHODIMP put_ResetDuration(LONG newVal) noexcept override;

    // The object lock, for code (and tests) that must hold it across several members.
    critical_section& object_lock() noexcept { return lock_; }

protected:
    CommAds() noexcept;
    virtual ~CommAds();

    // Defaults, then the aggregated free-threaded marshaler.
    HRESULT final_construct() noexcept;
    // Runs once, when the last reference goes: gives back the port and the marshaler.
    void final_release() noexcept;
    void destroy() noexcept;

private:
    bool port_open() const noexcept { return port_ != INVALID_HANDLE_VALUE; }
    // Publishes message as the thread's error record and returns E_FAIL.
    HRESULT fail(const char* message) noexcept;
    // A frame under the port's lock and the fine system timer.
    HRESULT send_frame(const char* code) noexcept;
    HRESULT write_line(const line_write& w) noexcept;
    void wait(LONG milliseconds) noexcept;
    HRESULT get_timing(const LONG& field, LONG* pVal) noexcept;
    HRESULT put_timing(LONG& field, LONG value) noexcept;

    LONG volatile refs_ = 0;

    com_ptr<IUnknown> marshaler_;
    HANDLE port_ = INVALID_HANDLE_VALUE;
    port_name port_name_;
    LONG standby_duration_ = 0;
    LONG reset_duration_ = 0;
    LONG clock_rate_ = 0;
    critical_section lock_;
};

}  // namespace vantrel
