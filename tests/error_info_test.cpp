#include "error_info.h"
#include "owners.h"
#include "test_support.h"

#include <VantrelCtrl.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

using vantrel::ReportError;

namespace {

// A class of the tests' own, so that registering and removing its ProgID cannot disturb the
// registration of CommAds that other tests in this prefix rely on.
const CLSID test_class = {0x5e1f7e57, 0x0b1d, 0x4c0e, {0x9a, 0x11, 0x3b, 0x6c, 0x0d, 0x2e, 0x44, 0x01}};
const wchar_t class_key[] = L"CLSID\\{5E1F7E57-0B1D-4C0E-9A11-3B6C0D2E4401}";
const wchar_t progid_key[] = L"CLSID\\{5E1F7E57-0B1D-4C0E-9A11-3B6C0D2E4401}\\ProgID";

// Registers (or removes) the test class's ProgID, as self-registration does for CommAds.
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
    register_progid(L"VantrelCtrl.ErrorInfoTest.1");
    EXPECT_EQ(E_FAIL, ReportError(test_class, "Unable to open the port", GUID_NULL, E_FAIL));
    const test::error_record r = test::take_error_record();
    ASSERT_TRUE(r.published);
    EXPECT_TRUE(IsEqualGUID(GUID_NULL, r.iid));
    EXPECT_EQ(L"VantrelCtrl.ErrorInfoTest.1", r.source);
    EXPECT_EQ(L"Unable to open the port", r.description);
    EXPECT_FALSE(r.has_help_file);
    EXPECT_EQ(0u, r.help_context);
}

TEST_F(ReportErrorTest, WithoutARegisteredProgIdTheRecordHasNoSource) {
    unregister_progid();
    ReportError(test_class, "No port is currently opened.", GUID_NULL, E_FAIL);
    const test::error_record r = test::take_error_record();
    ASSERT_TRUE(r.published);
    EXPECT_FALSE(r.has_source) << "source: " << std::string(r.source.begin(), r.source.end());
    EXPECT_EQ(L"No port is currently opened.", r.description);
}

TEST_F(ReportErrorTest, ASecondFailureReplacesTheFirst) {
    ReportError(test_class, "Port is currently opened.", GUID_NULL, E_FAIL);
    ReportError(test_class, "can't find switch [Q1]", GUID_NULL, E_FAIL);
    const test::error_record r = test::take_error_record();
    ASSERT_TRUE(r.published);
    EXPECT_EQ(L"can't find switch [Q1]", r.description);
    // Reading the record takes it: nothing is left behind.
    EXPECT_FALSE(test::take_error_record().published);
}

TEST_F(ReportErrorTest, ReturnsTheStatusItWasGivenAndKeepsTheInterfaceId) {
    EXPECT_EQ(E_OUTOFMEMORY, ReportError(test_class, "x", IID_ICommAds, E_OUTOFMEMORY));
    EXPECT_TRUE(IsEqualGUID(IID_ICommAds, test::take_error_record().iid));
    EXPECT_EQ(S_FALSE, ReportError(test_class, "y", GUID_NULL, S_FALSE));
}

TEST_F(ReportErrorTest, EmptyAndAbsentMessagesGiveAnEmptyDescription) {
    for (const char* message : {"", static_cast<const char*>(nullptr)}) {
        ReportError(test_class, message, GUID_NULL, E_FAIL);
        const test::error_record r = test::take_error_record();
        ASSERT_TRUE(r.published);
        EXPECT_TRUE(r.description.empty());
    }
}

TEST_F(ReportErrorTest, RecordsArePerThread) {
    ReportError(test_class, "main thread", GUID_NULL, E_FAIL);
    test::error_record other;
    std::thread worker([&] {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        ReportError(test_class, "worker thread", GUID_NULL, E_FAIL);
        other = test::take_error_record();
        CoUninitialize();
    });
    worker.join();
    EXPECT_EQ(L"worker thread", other.description);
    EXPECT_EQ(L"main thread", test::take_error_record().description);
}
