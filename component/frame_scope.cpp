#include "frame_scope.h"

#include <sddl.h>

#include <new>

namespace vantrel {
namespace {

constexpr UINT timer_resolution_ms = 1;

// What a sender needs of the lock: to wait for it and to release it.
constexpr DWORD lock_access = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// The lock's access list, given by whichever sender makes it first. SYSTEM and Administrators
// get full rights; everyone else, the creator included (OWNER RIGHTS takes away the owner's
// implicit READ_CONTROL and WRITE_DAC), may only wait and release, so no sender can lock the
// others out by changing or deleting it. The low label lets low-integrity callers wait too.
// The DACL is protected so that nothing inherited from the namespace widens it. OWNER RIGHTS
// (S-1-3-4) and the low label (S-1-16-4096) are spelt as SIDs: not every system that runs the
// component knows their SDDL aliases.
constexpr wchar_t lock_security[] =
    L"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;0x00100001;;;S-1-3-4)(A;;0x00100001;;;WD)"
    L"S:(ML;;NW;;;S-1-16-4096)";
static_assert(lock_access == 0x00100001, "the access list grants what a sender asks for");

bool starts_with(const std::wstring& s, const wchar_t* prefix) {
    return s.compare(0, wcslen(prefix), prefix) == 0;
}

// The security descriptor that ConvertStringSecurityDescriptorToSecurityDescriptorW allocates.
class local_security_descriptor {
  public:
    local_security_descriptor() noexcept {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(lock_security, SDDL_REVISION_1,
                                                                  &sd_, nullptr)) {
            sd_ = nullptr;
        }
    }
    local_security_descriptor(const local_security_descriptor&) = delete;
    local_security_descriptor& operator=(const local_security_descriptor&) = delete;
    ~local_security_descriptor() {
        if (sd_) LocalFree(sd_);
    }
    PSECURITY_DESCRIPTOR get() const noexcept { return sd_; }

  private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

}  // namespace

std::wstring port_lock_name(const std::wstring& port) {
    std::wstring name = port;
    if (starts_with(name, L"\\\\.\\") || starts_with(name, L"\\\\?\\")) name.erase(0, 4);
    if (!name.empty() && name.back() == L':') name.pop_back();
    // Kernel32's invariant mapping rather than user32's, which an in-process server has no
    // other reason to load. Upper-casing keeps the length; anything else is a failure, and a
    // name left half mapped would be another port's lock.
    if (!name.empty()) {
        const int n = static_cast<int>(name.size());
        if (LCMapStringW(LOCALE_INVARIANT, LCMAP_UPPERCASE, name.data(), n, &name[0], n) != n) {
            return {};
        }
    }
    // A backslash would be read as a namespace separator.
    for (wchar_t& c : name) {
        if (c == L'\\') c = L'/';
    }
    return L"Global\\VantrelCtrl.Port." + name;
}

frame_environment& frame_env() noexcept {
    static frame_environment env;
    return env;
}

bool frame_scope::enter(const std::wstring& port) noexcept {
    std::wstring name;
    try {
        name = port_lock_name(port);
    } catch (const std::bad_alloc&) {
        return false;
    }
    if (name.empty()) return false;
    const local_security_descriptor sd;
    if (!sd.get()) return false;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, sd.get(), FALSE};
    // Asking for no more than the access list grants everyone, so a lock made by a sender of
    // another user, session or elevation opens as well as one of our own. (CreateMutexW would
    // ask for every right and be refused.)
    lock_.reset(CreateMutexExW(&attributes, name.c_str(), 0, lock_access));
    if (!lock_.get()) return false;
    const DWORD waited = WaitForSingleObject(lock_.get(), frame_env().lock_timeout_ms);
    owned_ = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
    if (!owned_) return false;
    period_raised_ = frame_env().begin_period(timer_resolution_ms) == TIMERR_NOERROR;
    return true;
}

frame_scope::~frame_scope() {
    // Neither result is looked at: each call undoes one that succeeded on this thread (the
    // period raised, the mutex owned through a handle with MUTEX_MODIFY_STATE), so neither can
    // fail, and a destructor could not report it.
    if (period_raised_) frame_env().end_period(timer_resolution_ms);
    if (owned_) ReleaseMutex(lock_.get());
}

}  // namespace vantrel
