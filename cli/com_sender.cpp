#include "com_sender.h"

#include "owners.h"

#include <oleauto.h>

#include <cstdio>

namespace vantrel::windows {

std::atomic<bool> stop_requested{false};

std::wstring to_wide(const std::string& text) {
    if (text.empty()) return std::wstring();
    const int n =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<std::size_t>(n) : 0, L'\0');
    if (n > 0) {
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &wide[0], n);
    }
    return wide;
}

std::string to_utf8(const wchar_t* text, std::size_t length) {
    if (!text || length == 0) return std::string();
    const int wide_len = static_cast<int>(length);
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, wide_len, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? static_cast<std::size_t>(n) : 0, '\0');
    if (n > 0) WideCharToMultiByte(CP_UTF8, 0, text, wide_len, &out[0], n, nullptr, nullptr);
    return out;
}

namespace {

// The component's own words for the failure, from the thread's error record.
std::string failure_text(HRESULT hr) {
    com_ptr<IErrorInfo> info;
    unique_bstr description;
    if (GetErrorInfo(0, info.put()) == S_OK && info &&
        SUCCEEDED(info->GetDescription(description.put())) && description.length() > 0) {
        return to_utf8(description.get(), description.length());
    }
    char text[64];
    std::snprintf(text, sizeof text, "the component failed with 0x%08lX",
                  static_cast<unsigned long>(hr));
    return text;
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

cli::send_result com_sender::send(const cli::frame_order& frame, const cli::settings& options) {
    if (stop_requested)
        return {130, "stopped by Ctrl-C before the frame; nothing of it was sent", 0};
    if (!object_) {
        const HRESULT hr = CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_ICommAds, reinterpret_cast<void**>(&object_));
        if (FAILED(hr)) {
            object_ = nullptr;
            char text[96];
            std::snprintf(text, sizeof text,
                          "VantrelCtrl.CommAds cannot be created (0x%08lX): is it registered?",
                          static_cast<unsigned long>(hr));
            return {cli::exit_port_failed, text, 0};
        }
    }
    const frame_timings& t = options.timings;
    const unique_bstr port(SysAllocString(to_wide(options.port).c_str()));
    const unique_bstr id(SysAllocString(to_wide(frame.id).c_str()));
    HRESULT hr = object_->put_PortName(port.get());
    if (SUCCEEDED(hr)) hr = object_->put_ClockRate(t.clock_rate);
    if (SUCCEEDED(hr)) hr = object_->put_ResetDuration(t.reset_duration);
    if (SUCCEEDED(hr)) hr = object_->put_StandByDuration(t.standby_duration);
    const double start = now_ms();
    if (SUCCEEDED(hr)) hr = object_->put_On(id.get(), frame.on ? 1 : 0);
    if (FAILED(hr)) return {cli::exit_port_failed, options.port + ": " + failure_text(hr), 0};
    return {cli::exit_sent, {}, now_ms() - start};
}

}  // namespace vantrel::windows
