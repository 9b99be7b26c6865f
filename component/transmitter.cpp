// Switching: On turns a switch name into a table row and sends its frame on DTR and RTS.
#include "ascii.h"
#include "comm_ads.h"
#include "frame.h"
#include "frame_scope.h"
#include "switch_table.h"
#include "text.h"

#include <new>
#include <string>

namespace vantrel {

STDMETHODIMP CommAds::put_On(BSTR bstrSwitchID, LONG newVal) noexcept {
    lock_guard hold(lock_);
    try {
        const std::wstring id = ascii_upper(
            std::wstring(bstrSwitchID ? bstrSwitchID : L"", text_length(bstrSwitchID)));
        const std::wstring key_wide = id + (newVal != 0 ? L"ON" : L"OFF");
        std::string key;
        bool exact = false;
        HRESULT hr = to_ansi(key_wide.data(), key_wide.size(), key, &exact);
        if (FAILED(hr)) return hr;

        // A key the code page cannot spell exactly names no switch.
        if (const char* code = exact ? find_switch_code(key.c_str()) : nullptr) {
            return send_frame(code);
        }

        std::string shown;
        hr = to_ansi(id.data(), id.size(), shown, &exact);
        if (FAILED(hr)) return hr;
        return fail(("can't find switch [" + shown + "]").c_str());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT CommAds::send_frame(const char* code) noexcept {
    // A port the client holds open refuses the frame at once, with OpenPort's own message;
    // waiting for the port's lock first would only delay that.
    if (port_open()) return SendCommand(code);
    frame_scope scope;
    if (!scope.enter(port_name_.text())) return fail("Unable to open the port");
    return SendCommand(code);
}

HRESULT CommAds::SendCommand(const char* code) noexcept {
    if (identity()->OpenPort() != S_OK) return E_FAIL;
    if (Reset() != S_OK) return E_FAIL;
    if (SendBits(frame_header) != S_OK) return E_FAIL;
    if (SendBits(code) != S_OK) return E_FAIL;
    if (SendBits(frame_footer) != S_OK) return E_FAIL;
    wait(standby_duration_);
    return ClosePortInternal();
}

HRESULT CommAds::Reset() noexcept {
    ICommAds* self = identity();
    if (self->put_DTR(0) != S_OK) return E_FAIL;
    if (self->put_RTS(0) != S_OK) return E_FAIL;
    wait(reset_duration_);
    return S_OK;
}

HRESULT CommAds::SendBits(const char* symbols) noexcept {
    for (const char* p = symbols; *p; ++p) {
        if (SendBit(*p) != S_OK) return E_FAIL;
    }
    return S_OK;
}

HRESULT CommAds::SendBit(char symbol) noexcept {
    const symbol_writes data = data_phase(symbol);
    for (int i = 0; i < data.count; ++i) {
        if (write_line(data.writes[i]) != S_OK) return E_FAIL;
    }
    wait(clock_rate_);
    for (const line_write& w : idle_phase) {
        if (write_line(w) != S_OK) return E_FAIL;
    }
    wait(clock_rate_);
    return S_OK;
}

// Through the object's own interface, so each write takes the lock again and checks the port
// like a client's write would.
HRESULT CommAds::write_line(const line_write& w) noexcept {
    ICommAds* self = identity();
    const LONG level = w.set ? 1 : 0;
    return w.which == line::dtr ? self->put_DTR(level) : self->put_RTS(level);
}

void CommAds::wait(LONG milliseconds) noexcept { Sleep(wait_milliseconds(milliseconds)); }

}  // namespace vantrel
