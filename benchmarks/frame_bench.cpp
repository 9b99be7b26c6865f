// Frame timing: what a frame costs beyond the waits it asks for. Run inside "cm17a run" so
// that COM5 is the virtual CM17A (scripts/bench does this). Prints figures; asserts nothing.
#include "comm_ads.h"
#include "frame_scope.h"
#include "stopwatch.h"

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

constexpr int runs = 7;
constexpr int frame_writes = 166;

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct timings {
    const char* label;
    LONG clock, reset, standby;
    double asked() const { return reset + 82.0 * clock + standby; }
};

double frame_ms(const timings& t) {
    vantrel::com_ptr<ICommAds> object;
    if (FAILED(vantrel::CommAds::create_instance(nullptr, IID_ICommAds, object.put_void())))
        return -1;
    vantrel::unique_bstr port(SysAllocString(L"COM5")), id(SysAllocString(L"E1"));
    object->put_PortName(port.get());
    object->put_ClockRate(t.clock);
    object->put_ResetDuration(t.reset);
    object->put_StandByDuration(t.standby);
    const double start = now_ms();
    const HRESULT hr = object->put_On(id.get(), 1);
    const double elapsed = now_ms() - start;
    return hr == S_OK ? elapsed : -1;
}

// The same 84 waits as a frame, with nothing else.
double sleeps_ms(const timings& t) {
    const double start = now_ms();
    Sleep(static_cast<DWORD>(t.reset));
    for (int i = 0; i < 82; ++i) Sleep(static_cast<DWORD>(t.clock));
    Sleep(static_cast<DWORD>(t.standby));
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
    const timings cases[] = {{"default (10, 10, 200)", 10, 10, 200},
                             {"ClockRate 1 (1, 10, 200)", 1, 10, 200},
                             {"no waits (0, 0, 0)", 0, 0, 0}};
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
    std::printf("%-26s %9s %10s %10s %11s %10s %12s\n", "frame (clock, reset, standby)",
                "asked ms", "frame ms", "sleeps ms", "sleep noise", "overhead", "per write");
    for (const timings& t : cases) {
        std::vector<double> frames, sleeps, overheads;
        for (int i = 0; i < runs; ++i) {
            frames.push_back(frame_ms(t));
            sleeps.push_back(sleeps_ms(t));
            overheads.push_back(frames.back() - sleeps.back() - escapes);
        }
        const double frame = median(frames), sleep = median(sleeps);
        if (frame < 0) {
            std::printf("%-26s the frame failed\n", t.label);
            return 1;
        }
        const auto [lo, hi] = std::minmax_element(sleeps.begin(), sleeps.end());
        const double overhead = median(overheads);
        std::printf("%-26s %9.1f %10.3f %10.3f %8.3f ms %7.3f ms %9.2f us\n", t.label, t.asked(),
                    frame, sleep, *hi - *lo, overhead, 1000.0 * overhead / frame_writes);
    }
    std::printf("\nmedians of %d runs; overhead = frame - bare sleeps - bare line writes, per run;\n"
                "sleep noise = spread of the bare sleeps between runs, the platform's jitter\n",
                runs);
    CoUninitialize();
    return 0;
}
