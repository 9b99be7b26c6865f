#include "com_sender.h"

#include "owners.h"
#include "win32_status.h"

#include <oleauto.h>

#include <climits>
#include <cstdio>

namespace vantrel::windows {

std::atomic<bool> stop_requested{false};

HRESULT to_utf8(const wchar_t* text, std::size_t length, std::string& out) {
    out.clear();
    if (!text || length == 0) return S_OK;
    if (length > INT_MAX) return E_INVALIDARG;
    const int wide_len = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, wide_len, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return win32_failure();
    out.resize(static_cast<std::size_t>(n));
    if (WideCharToMultiByte(CP_UTF8, 0, text, wide_len, &out[0], n, nullptr, nullptr) != n) {
        return win32_failure();
    }
    return S_OK;
}

namespace {

// The component's own words for the failure, from the thread's error record.
std::string failure_text(HRESULT hr) {
    com_ptr<IErrorInfo> info;
    unique_bstr description;
    std::string text;
    if (GetErrorInfo(0, info.put()) == S_OK && info &&
        SUCCEEDED(info->GetDescription(description.put())) && description.length() > 0 &&
        SUCCEEDED(to_utf8(description.get(), description.length(), text))) {
        return text;
    }
    char code[64];
    std::snprintf(code, sizeof code, "the component failed with 0x%08lX",
                  static_cast<unsigned long>(hr));
    return code;
}

double now_ms() {
    LARGE_INTEGER frequency, t;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&t);
    return 1000.0 * static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

}  // namespace

com_sender::~com_sender() {
    if (object_) object_->Release();
}

cli::send_result com_sender::send(const cli::work& frames, const cli::settings& options,
                                  const cli::frame_sent& each) {
    cli::send_result result;
    for (const cli::frame_order& frame : frames) {
        double frame_ms = 0;
        cli::send_result one = send_one(frame, options, frame_ms);
        if (one.status != cli::exit_sent) {
            one.sent = result.sent;
            return one;
        }
        ++result.sent;
        each(frame, frame_ms);
    }
    return result;
}

cli::send_result com_sender::send_one(const cli::frame_order& frame, const cli::settings& options,
                                      double& frame_ms) {
    if (stop_requested)
        return {130, "stopped by Ctrl-C before the frame; nothing of it was sent"};
    if (!object_) {
        const HRESULT hr = CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_ICommAds, reinterpret_cast<void**>(&object_));
        if (FAILED(hr)) {
            object_ = nullptr;
            char text[96];
            std::snprintf(text, sizeof text,
                          "VantrelCtrl.CommAds cannot be created (0x%08lX): is it registered?",
                          static_cast<unsigned long>(hr));
            return {cli::exit_port_failed, text};
        }
    }
    const frame_timings& t = options.timings;
    std::wstring wide_port, wide_id;
    HRESULT hr = to_wide(CP_UTF8, options.port, wide_port);
    if (SUCCEEDED(hr)) hr = to_wide(CP_UTF8, frame.id, wide_id);
    // Never a null string for a failed allocation: a null BSTR is a valid, empty name.
    const unique_bstr port(SUCCEEDED(hr) ? SysAllocString(wide_port.c_str()) : nullptr);
    const unique_bstr id(SUCCEEDED(hr) ? SysAllocString(wide_id.c_str()) : nullptr);
    if (SUCCEEDED(hr) && (!port.get() || !id.get())) hr = E_OUTOFMEMORY;
    if (FAILED(hr)) {
        char text[96];
        std::snprintf(text, sizeof text, "the port name or switch cannot be passed on (0x%08lX)",
                      static_cast<unsigned long>(hr));
        return {cli::exit_port_failed, text};
    }
    hr = object_->put_PortName(port.get());
    if (SUCCEEDED(hr)) hr = object_->put_ClockRate(t.clock_rate);
    if (SUCCEEDED(hr)) hr = object_->put_ResetDuration(t.reset_duration);
    if (SUCCEEDED(hr)) hr = object_->put_StandByDuration(t.standby_duration);
    const double start = now_ms();
    if (SUCCEEDED(hr)) hr = object_->put_On(id.get(), frame.on ? 1 : 0);
    if (FAILED(hr)) return {cli::exit_port_failed, options.port + ": " + failure_text(hr)};
    frame_ms = now_ms() - start;
    // The rest of the gap after the last symbol: On has already waited the last clock wait and
    // the standby. The component's lock is released by now, so another sender may cut in here.
    const long long rest = static_cast<long long>(wait_milliseconds(options.frame_gap_ms)) -
                           wait_milliseconds(t.clock_rate) - wait_milliseconds(t.standby_duration);
    if (rest > 0 && !stop_requested) Sleep(static_cast<DWORD>(rest));
    return {};
}

}  // namespace vantrel::windows
