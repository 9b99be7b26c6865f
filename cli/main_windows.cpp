// vantrel on Windows: X10 commands through a CM17A, sent by the VantrelCtrl component.
#include "com_sender.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    vantrel::windows::stop_requested = true;
    return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    using vantrel::windows::to_utf8;
    std::vector<std::string> args(argc > 1 ? static_cast<std::size_t>(argc - 1) : 0);
    std::string env_port;
    const wchar_t* port = _wgetenv(L"VANTREL_PORT");
    bool read = !port || SUCCEEDED(to_utf8(port, wcslen(port), env_port));
    for (int i = 1; read && i < argc; ++i) {
        read = SUCCEEDED(to_utf8(argv[i], wcslen(argv[i]), args[i - 1]));
    }
    if (!read) {
        std::fprintf(stderr, "vantrel: the command line cannot be read\n");
        return vantrel::cli::exit_port_failed;
    }
    if (!args.empty() && args[0] == "mqtt") {
        std::fprintf(stderr,
                     "vantrel: mqtt is not available on Windows: no MQTT client library is "
                     "packaged for this build; run the bridge with vantrel on Linux\n");
        return vantrel::cli::exit_bad_input;
    }

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fprintf(stderr, "vantrel: COM cannot be initialised\n");
        return vantrel::cli::exit_port_failed;
    }
    // Without the handler Ctrl-C would end the program part-way through a frame.
    if (!SetConsoleCtrlHandler(on_console_event, TRUE)) {
        std::fprintf(stderr, "vantrel: Ctrl-C cannot be caught\n");
        CoUninitialize();
        return vantrel::cli::exit_port_failed;
    }
    int status = 0;
    {
        vantrel::windows::com_sender sender;
        status = vantrel::cli::run(args, env_port.c_str(), "COM1:", sender, stdout, stderr);
    }
    CoUninitialize();
    return status;
}
