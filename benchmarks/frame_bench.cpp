// Frame timing: what a frame costs beyond the waits it asks for. Run inside "cm17a run" so
// that COM5 is the virtual CM17A (scripts/bench does this). Prints figures; asserts nothing.
#include "comm_ads.h"
#include "frame_scope.h"
#include "frame_table.h"

#include <cstdio>
#include <vector>

using bench::frame_writes;
using bench::runs;

namespace {

double frame_ms(const bench::frame_case& c) {
    vantrel::com_ptr<ICommAds> object;
    if (FAILED(vantrel::CommAds::create_instance(nullptr, IID_ICommAds, object.put_void())))
        return -1;
    vantrel::unique_bstr port(SysAllocString(L"COM5")), id(SysAllocString(L"E1"));
    object->put_PortName(port.get());
    object->put_ClockRate(c.asked.clock_rate);
    object->put_ResetDuration(c.asked.reset_duration);
    object->put_StandByDuration(c.asked.standby_duration);
    const double start = now_ms();
    const HRESULT hr = object->put_On(id.get(), 1);
    const double elapsed = now_ms() - start;
    return hr == S_OK ? elapsed : -1;
}

// The same 84 waits as a frame, with nothing else.
double sleeps_ms(const bench::frame_case& c) {
    const double start = now_ms();
    Sleep(vantrel::wait_milliseconds(c.asked.reset_duration));
    for (int i = 0; i < 82; ++i) Sleep(vantrel::wait_milliseconds(c.asked.clock_rate));
    Sleep(vantrel::wait_milliseconds(c.asked.standby_duration));
    return now_ms() - start;
}

// 166 line writes straight to the port, plus opening and closing it once as a frame does.
double escapes_ms() {
    const double start = now_ms();
    HANDLE port = CreateFileA("COM5", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    if (port == INVALID_HANDLE_VALUE) return -1;
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    GetCommState(port, &dcb);
    SetCommState(port, &dcb);
    const DWORD functions[4] = {CLRDTR, CLRRTS, SETRTS, SETDTR};
    bool ok = true;
    for (int i = 0; i < frame_writes; ++i) ok &= EscapeCommFunction(port, functions[i % 4]) != 0;
    CloseHandle(port);
    return ok ? now_ms() - start : -1;
}

// What each frame adds for the port lock and the 1 ms timer: taking and giving back both.
double frame_scope_us() {
    constexpr int rounds = 1000;
    const std::wstring port = L"COM5";
    const double start = now_us();
    for (int i = 0; i < rounds; ++i) {
        vantrel::frame_scope scope;
        if (!scope.enter(port)) return -1;
    }
    return (now_us() - start) / rounds;
}

}  // namespace

int main() {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<double> escape_runs;
    for (int i = 0; i < runs; ++i) escape_runs.push_back(escapes_ms());
    const double escapes = median(escape_runs);
    if (escapes < 0) {
        std::printf("COM5 does not answer: run this inside 'cm17a run' (scripts/bench)\n");
        return 1;
    }
    std::printf("platform: 166 bare EscapeCommFunction calls with open and close: %.3f ms "
                "(%.1f us per call)\n\n", escapes, 1000.0 * escapes / frame_writes);
    std::vector<double> scope_runs;
    for (int i = 0; i < runs; ++i) scope_runs.push_back(frame_scope_us());
    std::printf("per frame: the port lock and the 1 ms timer, taken and given back: %.2f us\n\n",
                median(scope_runs));
    const bool sent = bench::print_frame_table(escapes, frame_ms, sleeps_ms);
    CoUninitialize();
    return sent ? 0 : 1;
}
