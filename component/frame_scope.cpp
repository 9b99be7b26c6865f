#include "frame_scope.h"

#include <new>

namespace vantrel {
namespace {

constexpr UINT timer_resolution_ms = 1;

bool starts_with(const std::wstring& s, const wchar_t* prefix) {
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

}  // namespace

std::wstring port_lock_name(const std::wstring& port) {
    std::wstring name = port;
    if (starts_with(name, L"\\\\.\\") || starts_with(name, L"\\\\?\\")) name.erase(0, 4);
    if (!name.empty() && name.back() == L':') name.pop_back();
    // Kernel32's invariant mapping rather than user32's, which an in-process server has no
    // other reason to load.
    if (!name.empty()) {
        const int n = static_cast<int>(name.size());
        LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.data(), n, &name[0], n);
    }
    // A backslash would be read as a namespace separator.
    for (wchar_t& c : name) {
        if (c == L'\\') c = L'/';
    }
    return L"Local\\VantrelCtrl.Port." + name;
}

frame_environment& frame_env() noexcept {
    static frame_environment env;
    return env;
}

bool frame_scope::enter(const std::wstring& port) noexcept {
    try {
        lock_.reset(CreateMutexW(nullptr, FALSE, port_lock_name(port).c_str()));
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (!lock_.get()) return false;
    const DWORD waited = WaitForSingleObject(lock_.get(), frame_env().lock_timeout_ms);
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!owned_) return false;
    period_raised_ = frame_env().begin_period(timer_resolution_ms) == TIMERR_NOERROR;
    return true;
}

frame_scope::~frame_scope() {
    if (period_raised_) frame_env().end_period(timer_resolution_ms);
    if (owned_) ReleaseMutex(lock_.get());
}

}  // namespace vantrel
