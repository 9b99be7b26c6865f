// What holds for the length of one frame beyond the object lock: the port's machine-wide lock,
// so that frames from other objects and processes (of any session, user or elevation) never mix
// on the lines, and a 1 ms system timer, so that the frame's waits last what they ask for.
#pragma once

#include "frame.h"
#include "owners.h"

#include <windows.h>
#include <mmsystem.h>

#include <string>

namespace vantrel {

// The lock's name for a port, in the global namespace: case, a "\\.\" device prefix and a
// trailing colon do not count, since "com1", "COM1:" and "\\.\COM1" open one device. Empty
// when the name cannot be upper-cased.
std::wstring port_lock_name(const std::wstring& port);

// What a frame relies on outside the object; tests replace these to watch or shorten them.
struct frame_environment {
    DWORD lock_timeout_ms = port_lock_timeout_ms;
    MMRESULT(WINAPI* begin_period)(UINT) = timeBeginPeriod;
    MMRESULT(WINAPI* end_period)(UINT) = timeEndPeriod;
};
frame_environment& frame_env() noexcept;

class frame_scope {
  public:
    frame_scope() noexcept = default;
    frame_scope(const frame_scope&) = delete;
    frame_scope& operator=(const frame_scope&) = delete;
    ~frame_scope();

    // Takes the port's lock, waiting for a frame in progress up to the bound (a lock left by a
    // sender that died is taken over), then raises the timer resolution. Whoever makes the lock
    // gives it an access list that lets every user wait for it and take it. False when the
    // lock cannot be had; nothing is held then.
    bool enter(const std::wstring& port) noexcept;

  private:
    unique_handle lock_;
    bool owned_ = false;
    bool period_raised_ = false;
};

}  // namespace vantrel
