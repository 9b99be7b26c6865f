// One small owner per kind of platform resource, so that no early return can leak one.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <objbase.h>

#include <utility>

namespace vantrel {

// Owning pointer to a COM interface. put() hands out the slot for an out-parameter after
// releasing what was held, so it can be passed straight to a creating call.
template <class T>
class com_ptr {
public:
    com_ptr() noexcept = default;
    explicit com_ptr(T* p) noexcept : p_(p) {
        if (p_) p_->AddRef();
    }
    com_ptr(const com_ptr& o) noexcept : com_ptr(o.p_) {}
    com_ptr(com_ptr&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    com_ptr& operator=(com_ptr o) noexcept {
        std::swap(p_, o.p_);
        return *this;
    }
    ~com_ptr() { reset(); }

    T* get() const noexcept { return p_; }
    T* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    T** put() noexcept {
        reset();
        return &p_;
    }
    void** put_void() noexcept { return reinterpret_cast<void**>(put()); }
    T* detach() noexcept { return std::exchange(p_, nullptr); }
    void reset() noexcept {
        if (T* p = std::exchange(p_, nullptr)) p->Release();
    }

    template <class U>
    HRESULT as(com_ptr<U>& out) const noexcept {
        return p_ ? p_->QueryInterface(__uuidof(U), out.put_void()) : E_POINTER;
    }

private:
    T* p_ = nullptr;
};

// Owning BSTR. A null BSTR is a valid, empty string in automation.
class unique_bstr {
public:
    unique_bstr() noexcept = default;
    explicit unique_bstr(BSTR s) noexcept : s_(s) {}
    unique_bstr(unique_bstr&& o) noexcept : s_(std::exchange(o.s_, nullptr)) {}
    unique_bstr& operator=(unique_bstr&& o) noexcept {
        reset(std::exchange(o.s_, nullptr));
        return *this;
    }
    unique_bstr(const unique_bstr&) = delete;
    unique_bstr& operator=(const unique_bstr&) = delete;
    ~unique_bstr() { reset(); }

    BSTR get() const noexcept { return s_; }
    BSTR* put() noexcept {
        reset();
        return &s_;
    }
    BSTR release() noexcept { return std::exchange(s_, nullptr); }
    void reset(BSTR s = nullptr) noexcept {
        if (BSTR old = std::exchange(s_, s)) SysFreeString(old);
    }
    UINT length() const noexcept { return SysStringLen(s_); }

private:
    BSTR s_ = nullptr;
};

// Owning block of COM task memory (strings handed out by the runtime).
template <class T>
class unique_cotaskmem {
public:
    unique_cotaskmem() noexcept = default;
    unique_cotaskmem(const unique_cotaskmem&) = delete;
    unique_cotaskmem& operator=(const unique_cotaskmem&) = delete;
    ~unique_cotaskmem() { CoTaskMemFree(p_); }

    T* get() const noexcept { return p_; }
    T** put() noexcept {
        CoTaskMemFree(std::exchange(p_, nullptr));
        return &p_;
    }

private:
    T* p_ = nullptr;
};

// Owning module handle from LoadLibrary/LoadLibraryEx.
class unique_module {
public:
    explicit unique_module(HMODULE h) noexcept : h_(h) {}
    unique_module(const unique_module&) = delete;
    unique_module& operator=(const unique_module&) = delete;
    ~unique_module() {
        if (h_) FreeLibrary(h_);
    }
    HMODULE get() const noexcept { return h_; }

private:
    HMODULE h_;
};

// Owning kernel object handle; null is "none", as the creating calls return it on failure.
class unique_handle {
public:
    unique_handle() noexcept = default;
    explicit unique_handle(HANDLE h) noexcept : h_(h) {}
    unique_handle(const unique_handle&) = delete;
    unique_handle& operator=(const unique_handle&) = delete;
    ~unique_handle() { reset(); }
    HANDLE get() const noexcept { return h_; }
    void reset(HANDLE h = nullptr) noexcept {
        if (HANDLE old = std::exchange(h_, h)) CloseHandle(old);
    }

private:
    HANDLE h_ = nullptr;
};

// Re-entrant lock: the owning thread may enter again and must leave as often.
class critical_section {
public:
    critical_section() noexcept { InitializeCriticalSection(&cs_); }
    ~critical_section() { DeleteCriticalSection(&cs_); }
    critical_section(const critical_section&) = delete;
    critical_section& operator=(const critical_section&) = delete;

    void enter() noexcept { EnterCriticalSection(&cs_); }
    void leave() noexcept { LeaveCriticalSection(&cs_); }

private:
    CRITICAL_SECTION cs_;
};

class lock_guard {
public:
    explicit lock_guard(critical_section& cs) noexcept : cs_(cs) { cs_.enter(); }
    ~lock_guard() { cs_.leave(); }
    lock_guard(const lock_guard&) = delete;
    lock_guard& operator=(const lock_guard&) = delete;

private:
    critical_section& cs_;
};

}  // namespace vantrel
