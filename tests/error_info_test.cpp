#include "error_info.h"
#include "owners.h"
#include "test_support.h"

#include <VantrelCtrl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

using vantrel::ReportError;

namespace {

const wchar_t class_key[] = L"CLSID\\{8CA177E3-B91E-4200-A171-068349162588}";
const wchar_t progid_key[] = L"CLSID\\{8CA177E3-B91E-4200-A171-068349162588}\\ProgID";

// Registers (or removes) the class's ProgID in this prefix's registry, as self-registration
// will, so that the record's source can be looked up.
void register_progid(const wchar_t* progid) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, progid_key, 0, nullptr, 0,
                                             KEY_WRITE, nullptr, &key, nullptr));
    const DWORD bytes = static_cast<DWORD>((wcslen(progid) + 1) * sizeof(wchar_t));
    EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(key, nullptr, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(progid), bytes));
    RegCloseKey(key);
}

void unregister_progid() {
    RegDeleteKeyW(HKEY_CLASSES_ROOT, progid_key);
    RegDeleteKeyW(HKEY_CLASSES_ROOT, class_key);
}

class ReportErrorTest : public testing::Test {
protected:
    void SetUp() override { SetErrorInfo(0, nullptr); }
    void TearDown() override { unregister_progid(); }
};

}  // namespace

TEST_F(ReportErrorTest, PublishesTheRecordWithTheRegisteredSource) {
    register_progid(L"VantrelCtrl.CommAds.1");
    EXPECT_EQ(E_FAIL, ReportError(CLSID_CommAds, "Unable to open the port", GUID_NULL, E_FAIL));
    const test::error_record r = test::take_error_record();
    ASSERT_TRUE(r.published);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, r.iid));
    EXPECT_EQ(L"VantrelCtrl.CommAds.1", r.source);
    EXPECT_EQ(L"Unable to open the port", r.description);
    EXPECT_FALSE(r.has_help_file);
    EXPECT_EQ(0u, r.help_context);
}

TEST_F(ReportErrorTest, WithoutARegisteredProgIdTheRecordHasNoSource) {
    unregister_progid();
    ReportError(CLSID_CommAds, "No port is currently opened.", GUID_NULL, E_FAIL);
    const test::error_record r = test::take_error_record();
    ASSERT_TRUE(r.published);
    EXPECT_FALSE(r.has_source) << "source: " << std::string(r.source.begin(), r.source.end());
    EXPECT_EQ(L"No port is currently opened.", r.description);
}

TEST_F(ReportErrorTest, ASecondFailureReplacesTheFirst) {
    ReportError(CLSID_CommAds, "Port is currently opened.", GUID_NULL, E_FAIL);
    ReportError(CLSID_CommAds, "can't find switch [Q1]", GUID_NULL, E_FAIL);
    const test::error_record r = test::take_error_record();
    ASSERT_TRUE(r.published);
    EXPECT_EQ(L"can't find switch [Q1]", r.description);
    // Reading the record takes it: nothing is left behind.
    EXPECT_FALSE(test::take_error_record().published);
}

TEST_F(ReportErrorTest, ReturnsTheStatusItWasGivenAndKeepsTheInterfaceId) {
    EXPECT_EQ(E_OUTOFMEMORY, ReportError(CLSID_CommAds, "x", IID_ICommAds, E_OUTOFMEMORY));
    EXPECT_TRUE(IsEqualGUID(IID_ICommAds, test::take_error_record().iid));
    EXPECT_EQ(S_FALSE, ReportError(CLSID_CommAds, "y", GUID_NULL, S_FALSE));
}

TEST_F(ReportErrorTest, EmptyAndAbsentMessagesGiveAnEmptyDescription) {
    for (const char* message : {"", static_cast<const char*>(nullptr)}) {
        ReportError(CLSID_CommAds, message, GUID_NULL, E_FAIL);
        const test::error_record r = test::take_error_record();
        ASSERT_TRUE(r.published);
        EXPECT_TRUE(r.description.empty());
    }
}

TEST_F(ReportErrorTest, RecordsArePerThread) {
    ReportError(CLSID_CommAds, "main thread", GUID_NULL, E_FAIL);
    test::error_record other;
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ReportError(CLSID_CommAds, "worker thread", GUID_NULL, E_FAIL);
        other = test::take_error_record();
        CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(L"worker thread", other.description);
    EXPECT_EQ(L"main thread", test::take_error_record().description);
}
