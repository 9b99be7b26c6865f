#include "test_support.h"

#include <gtest/gtest.h>

namespace test {

vantrel::com_ptr<ICommAds> make_comm_ads() {
    vantrel::com_ptr<ICommAds> object;
    const HRESULT hr = vantrel::CommAds::create_instance(nullptr, IID_ICommAds, object.put_void());
    EXPECT_EQ(S_OK, hr);
    return object;
}

vantrel::unique_bstr bstr(const wchar_t* text) { return vantrel::unique_bstr(SysAllocString(text)); }

error_record take_error_record() {
    error_record r;
    vantrel::com_ptr<IErrorInfo> info;
    if (GetErrorInfo(0, info.put()) != S_OK || !info) return r;
    r.published = true;
    info->GetGUID(&r.iid);
    vantrel::unique_bstr source, description, help_file;
    info->GetSource(source.put());
    info->GetDescription(description.put());
    info->GetHelpFile(help_file.put());
    info->GetHelpContext(&r.help_context);
    r.has_source = source.length() > 0;
    r.source.assign(source.get() ? source.get() : L"", source.length());
    r.description.assign(description.get() ? description.get() : L"", description.length());
    r.has_help_file = help_file.length() > 0;
    return r;
}

std::string take_error_description() {
    const error_record r = take_error_record();
    return r.published ? narrow(r.description) : "(none)";
}

std::string narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += c < 128 ? static_cast<char>(c) : '?';
    return out;
}

std::string exe_dir() {
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    const std::string path = self;
    return path.substr(0, path.find_last_of("\\/") + 1);
}

}  // namespace test
