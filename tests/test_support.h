// Helpers shared by the Windows tests.
#pragma once

#include "comm_ads.h"
#include "owners.h"

#include <string>

namespace test {

// A new CommAds through the instance creator, asked for ICommAds.
vantrel::com_ptr<ICommAds> make_comm_ads();

vantrel::unique_bstr bstr(const wchar_t* text);

// The calling thread's current error record, taken (GetErrorInfo clears it).
struct error_record {
    bool published = false;
    GUID iid{};
    std::wstring source, description;
    bool has_source = false, has_help_file = false;
    DWORD help_context = 0xdeadbeef;
};
error_record take_error_record();

// The description of the thread's error record as 8-bit text ("(none)" when there is none).
std::string take_error_description();

// ASCII text of a wide string, for messages; other characters show as "?".
std::string narrow(const std::wstring& text);

// The folder of the running test program, with its trailing separator; the built library and
// programs lie beside it.
std::string exe_dir();

}  // namespace test
