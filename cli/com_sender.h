// vantrel's sender on Windows: the CommAds component, created in-process by its class id, so
// that the command line and every script drive the port through one implementation.
#pragma once

#include "run.h"
#include "text.h"

#include <windows.h>
#include <objbase.h>

#include <VantrelCtrl.h>

#include <atomic>

namespace vantrel::windows {

// Set by the console's Ctrl-C or Ctrl-Break handler. A frame in progress is finished (the
// component sends it whole), and no further frame is started.
extern std::atomic<bool> stop_requested;

class com_sender final : public cli::sender {
  public:
    com_sender() = default;
    com_sender(const com_sender&) = delete;
    com_sender& operator=(const com_sender&) = delete;
    ~com_sender() override;

    // Frame by frame: the component locks the port for one frame at a time, so another
    // process's frame may come between two frames of a work.
    cli::send_result send(const cli::work& frames, const cli::settings& options,
                          const cli::frame_sent& each) override;

  private:
    cli::send_result send_one(const cli::frame_order& frame, const cli::settings& options,
                              double& frame_ms);
    ICommAds* object_ = nullptr;  // made on the first frame, kept for the rest
};

// UTF-16 to UTF-8, as the console takes it (the other way is vantrel::to_wide); the
// conversion's Win32 error (E_FAIL when it gave none) on failure.
HRESULT to_utf8(const wchar_t* text, std::size_t length, std::string& out);

}  // namespace vantrel::windows
