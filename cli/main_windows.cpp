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
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i)
        args.push_back(vantrel::windows::to_utf8(argv[i], wcslen(argv[i])));
    std::string env_port;
    if (const wchar_t* port = _wgetenv(L"VANTREL_PORT"))
        env_port = vantrel::windows::to_utf8(port, wcslen(port));

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        std::fprintf(stderr, "vantrel: COM cannot be initialised\n");
        return vantrel::cli::exit_port_failed;
    }
    SetConsoleCtrlHandler(on_console_event, TRUE);
    int status = 0;
    {
        vantrel::windows::com_sender sender;
        status = vantrel::cli::run(args, env_port.c_str(), "COM1:", sender, stdout, stderr);
    }
    CoUninitialize();
    return status;
}
