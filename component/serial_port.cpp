// The serial port of a CommAds object: its name, opening and closing it, and the two lines.
#include "comm_ads.h"
#include "frame.h"

#include <cstddef>
#include <cstring>

namespace vantrel {
namespace {

// The DCB flag bits are a bit-field word right after DCBlength and BaudRate.
constexpr std::size_t dcb_flags_offset = 2 * sizeof(DWORD);
static_assert(offsetof(DCB, wReserved) == dcb_flags_offset + sizeof(DWORD),
              "the DCB flag word sits between BaudRate and wReserved");

void rewrite_flags(DCB& dcb) noexcept {
    std::uint32_t flags;
    auto* bytes = reinterpret_cast<unsigned char*>(&dcb);
    std::memcpy(&flags, bytes + dcb_flags_offset, sizeof flags);
    flags = rewrite_line_flags(flags);
    std::memcpy(bytes + dcb_flags_offset, &flags, sizeof flags);
}

}  // namespace

STDMETHODIMP CommAds::get_PortName(BSTR* pVal) noexcept {
    if (!pVal) return E_POINTER;
    lock_guard hold(lock_);
    return port_name_.copy(pVal);
}

STDMETHODIMP CommAds::put_PortName(BSTR newVal) noexcept {
    lock_guard hold(lock_);
    if (port_name_.equals(newVal)) return S_OK;
    if (port_open()) return fail("Can't change port when another port is opened.");
    return port_name_.assign(newVal);
}

STDMETHODIMP CommAds::OpenPort() noexcept {
    lock_guard hold(lock_);
    return OpenPortInternal();
}

STDMETHODIMP CommAds::ClosePort() noexcept {
    lock_guard hold(lock_);
    return ClosePortInternal();
}

HRESULT CommAds::OpenPortInternal() noexcept {
    if (port_open()) return fail("Port is currently opened.");
    const char* name = nullptr;
    const HRESULT hr = port_name_.ansi(&name);
    if (FAILED(hr)) return hr;

    port_ = name ? CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                               nullptr)
                 : INVALID_HANDLE_VALUE;
    if (!port_open()) return fail("Unable to open the port");

    // A record that could not be read is never applied; the port stays open either way, so
    // the client closes it as after a failed apply.
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port_, &dcb)) return fail("Unable to configure the serial port");
    rewrite_flags(dcb);
    if (!SetCommState(port_, &dcb)) return fail("Unable to configure the serial port");
    return S_OK;
}

HRESULT CommAds::ClosePortInternal() noexcept {
    if (!port_open()) return E_FAIL;
    if (!CloseHandle(port_)) return E_FAIL;
    port_ = INVALID_HANDLE_VALUE;
    return S_OK;
}

STDMETHODIMP CommAds::put_DTR(LONG newVal) noexcept {
    lock_guard hold(lock_);
    if (!port_open()) return fail("No port is currently opened.");
    if (!EscapeCommFunction(port_, newVal != 0 ? SETDTR : CLRDTR)) return fail("Unable to set DTR");
    return S_OK;
}

STDMETHODIMP CommAds::put_RTS(LONG newVal) noexcept {
    lock_guard hold(lock_);
    if (!port_open()) return fail("No port is currently opened.");
    if (newVal != 0) {
        if (!EscapeCommFunction(port_, SETRTS)) return fail("Unable to set RTS");
    } else {
        if (!EscapeCommFunction(port_, CLRRTS)) return fail("Unable to reset RTS");
    }
    return S_OK;
}

}  // namespace vantrel
