// The serial port members without a serial device: missing devices, and a plain file, which
// opens but has no line configuration, so the port counts as open without any pty.
#include "frame_scope.h"
#include "test_support.h"

#include <gtest/gtest.h>

#include <aclapi.h>

#include <memory>
#include <string>

using test::bstr;
using test::make_comm_ads;
using test::take_error_description;
using vantrel::com_ptr;
using vantrel::unique_bstr;

namespace {

std::wstring read_name(ICommAds* object, bool* is_null = nullptr) {
    unique_bstr name;
    EXPECT_EQ(S_OK, object->get_PortName(name.put()));
    if (is_null) *is_null = name.get() == nullptr;
    return std::wstring(name.get() ? name.get() : L"", name.length());
}

// A temporary file that stands in for a device that opens but cannot be configured.
class PortTest : public testing::Test {
protected:
    void SetUp() override {
        wchar_t dir[MAX_PATH], path[MAX_PATH];
        ASSERT_NE(0u, GetTempPathW(MAX_PATH, dir));
        ASSERT_NE(0u, GetTempFileNameW(dir, L"cm", 0, path));
        file_ = path;
        SetErrorInfo(0, nullptr);
    }
    void TearDown() override { DeleteFileW(file_.c_str()); }

    // Leaves object with the file's port open after the expected configuration failure.
    void open_file_port(ICommAds* object) {
        ASSERT_EQ(S_OK, object->put_PortName(bstr(file_.c_str()).get()));
        ASSERT_EQ(E_FAIL, object->OpenPort());
        ASSERT_EQ("Unable to configure the serial port", take_error_description());
    }
    bool file_is_held() const {
        HANDLE h = CreateFileW(file_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h == INVALID_HANDLE_VALUE) return true;
        CloseHandle(h);
        return false;
    }

    std::wstring file_;
};

}  // namespace

TEST_F(PortTest, ANewObjectHasNoNameAndNoPort) {
    auto object = make_comm_ads();
    bool is_null = false;
    EXPECT_EQ(L"", read_name(object.get(), &is_null));
    EXPECT_TRUE(is_null);
    EXPECT_EQ(E_FAIL, object->OpenPort());
    EXPECT_EQ("Unable to open the port", take_error_description());
    EXPECT_EQ(E_FAIL, object->put_DTR(1));
    EXPECT_EQ("No port is currently opened.", take_error_description());
    EXPECT_EQ(E_FAIL, object->put_RTS(0));
    EXPECT_EQ("No port is currently opened.", take_error_description());
    EXPECT_EQ(E_FAIL, object->ClosePort());
    EXPECT_EQ("(none)", take_error_description());
    EXPECT_EQ(E_POINTER, object->get_PortName(nullptr));
}

TEST_F(PortTest, NamesThatCannotBeOpenedLeaveThePortClosed) {
    auto object = make_comm_ads();
    for (const wchar_t* name : {L"COM9:", L"Z:\\no\\such\\device", L"", static_cast<const wchar_t*>(nullptr)}) {
        unique_bstr value = name ? bstr(name) : unique_bstr();
        ASSERT_EQ(S_OK, object->put_PortName(value.get()));
        EXPECT_EQ(E_FAIL, object->OpenPort());
        EXPECT_EQ("Unable to open the port", take_error_description());
        EXPECT_EQ(E_FAIL, object->put_DTR(1));
        EXPECT_EQ("No port is currently opened.", take_error_description());
    }
}

TEST_F(PortTest, NamesAreStoredUpToTheirFirstNul) {
    auto object = make_comm_ads();
    unique_bstr embedded(SysAllocStringLen(L"COM1:\0COM2:", 11));
    ASSERT_EQ(S_OK, object->put_PortName(embedded.get()));
    EXPECT_EQ(L"COM1:", read_name(object.get()));

    ASSERT_EQ(S_OK, object->put_PortName(bstr(L"").get()));
    bool is_null = true;
    EXPECT_EQ(L"", read_name(object.get(), &is_null));
    EXPECT_FALSE(is_null) << "an empty name is text, read back as an empty string";
    ASSERT_EQ(S_OK, object->put_PortName(nullptr));
    read_name(object.get(), &is_null);
    EXPECT_TRUE(is_null);
}

TEST_F(PortTest, TheReadIsACopyOfItsOwn) {
    auto object = make_comm_ads();
    ASSERT_EQ(S_OK, object->put_PortName(bstr(L"COM1:").get()));
    unique_bstr first;
    ASSERT_EQ(S_OK, object->get_PortName(first.put()));
    first.get()[3] = L'7';
    EXPECT_EQ(L"COM1:", read_name(object.get()));
}

TEST_F(PortTest, AConfigurationFailureLeavesThePortOpen) {
    auto object = make_comm_ads();
    open_file_port(object.get());
    EXPECT_TRUE(file_is_held());
    EXPECT_EQ(E_FAIL, object->OpenPort());
    EXPECT_EQ("Port is currently opened.", take_error_description());
    EXPECT_EQ(E_FAIL, object->put_On(bstr(L"E1").get(), 1));
    EXPECT_EQ("Port is currently opened.", take_error_description());
    EXPECT_EQ(S_OK, object->ClosePort());
    EXPECT_FALSE(file_is_held());
    EXPECT_EQ(E_FAIL, object->ClosePort());
    EXPECT_EQ("(none)", take_error_description());
}

TEST_F(PortTest, TheNameIsFixedWhileThePortIsOpen) {
    auto object = make_comm_ads();
    open_file_port(object.get());
    EXPECT_EQ(S_OK, object->put_PortName(bstr(file_.c_str()).get()));
    EXPECT_EQ("(none)", take_error_description());

    std::wstring other_case = file_;
    for (wchar_t& c : other_case) c = static_cast<wchar_t>(iswupper(c) ? towlower(c) : towupper(c));
    const unique_bstr others[] = {bstr(L"COM2:"), bstr(other_case.c_str()), bstr(L""), unique_bstr()};
    for (const unique_bstr& other : others) {
        EXPECT_EQ(E_FAIL, object->put_PortName(other.get()));
        EXPECT_EQ("Can't change port when another port is opened.", take_error_description());
        EXPECT_EQ(file_, read_name(object.get()));
    }
    ASSERT_EQ(S_OK, object->ClosePort());
    EXPECT_EQ(S_OK, object->put_PortName(bstr(L"COM2:").get()));
    EXPECT_EQ(L"COM2:", read_name(object.get()));
}

TEST_F(PortTest, TheLastReleaseClosesAnOpenPort) {
    auto object = make_comm_ads();
    open_file_port(object.get());
    ASSERT_TRUE(file_is_held());
    object.reset();
    EXPECT_FALSE(file_is_held());
}

TEST_F(PortTest, SuccessfulCallsPublishNoRecord) {
    auto object = make_comm_ads();
    EXPECT_EQ(S_OK, object->put_PortName(bstr(L"COM1:").get()));
    EXPECT_EQ(S_OK, object->put_ClockRate(3));
    read_name(object.get());
    EXPECT_EQ("(none)", take_error_description());
}

TEST_F(PortTest, UnknownSwitchesAreReportedAndTouchNoPort) {
    auto object = make_comm_ads();
    ASSERT_EQ(S_OK, object->put_PortName(bstr(file_.c_str()).get()));
    const struct {
        const wchar_t* id;
        LONG value;
        const char* message;
    } cases[] = {
        {L"Q1", 1, "can't find switch [Q1]"},
        {L"a17", 0, "can't find switch [A17]"},
        {L"A0", 1, "can't find switch [A0]"},
        {L"A01", 1, "can't find switch [A01]"},
        {L"E1ON", 1, "can't find switch [E1ON]"},
        {L" e1", 1, "can't find switch [ E1]"},
        {L"", 1, "can't find switch []"},
        {nullptr, 0, "can't find switch []"},
    };
    for (const auto& c : cases) {
        unique_bstr id = c.id ? bstr(c.id) : unique_bstr();
        EXPECT_EQ(E_FAIL, object->put_On(id.get(), c.value));
        EXPECT_EQ(c.message, take_error_description());
        EXPECT_FALSE(file_is_held()) << c.message;
    }
    // Only the text before an embedded NUL counts.
    unique_bstr embedded(SysAllocStringLen(L"Q\0E1", 4));
    EXPECT_EQ(E_FAIL, object->put_On(embedded.get(), 1));
    EXPECT_EQ("can't find switch [Q]", take_error_description());
}

TEST_F(PortTest, KnownSwitchesInAnyCaseReachThePort) {
    // The file cannot be configured, so a switch that was found fails at the port, not at
    // the lookup.
    for (const wchar_t* id : {L"e1", L"E1", L"p16", L"a", L"M"}) {
        for (LONG value : {1, 0, -1, 5}) {
            auto object = make_comm_ads();
            ASSERT_EQ(S_OK, object->put_PortName(bstr(file_.c_str()).get()));
            EXPECT_EQ(E_FAIL, object->put_On(bstr(id).get(), value));
            EXPECT_EQ("Unable to configure the serial port", take_error_description())
                << "id " << std::string(id, id + wcslen(id)) << " value " << value;
        }
    }
}

TEST(PortLock, NamesOfOneDeviceShareOneLock) {
    const std::wstring com1 = vantrel::port_lock_name(L"COM1");
    EXPECT_EQ(L"Global\\VantrelCtrl.Port.COM1", com1);
    for (const wchar_t* same : {L"COM1:", L"com1", L"Com1:", L"\\\\.\\COM1"}) {
        EXPECT_EQ(com1, vantrel::port_lock_name(same)) << test::narrow(same);
    }
    for (const wchar_t* other : {L"COM2", L"COM11", L"COM1::", L""}) {
        EXPECT_NE(com1, vantrel::port_lock_name(other)) << test::narrow(other);
    }
    EXPECT_EQ(L"Global\\VantrelCtrl.Port.GLOBALROOT/DEVICE/SERIAL0",
              vantrel::port_lock_name(L"\\\\.\\GLOBALROOT\\Device\\Serial0"))
        << "a backslash would be taken as a namespace separator";
}

TEST(PortLock, EveryoneMayWaitForTheLockAndOnlySystemAndAdministratorsChangeIt) {
    vantrel::frame_scope scope;
    ASSERT_TRUE(scope.enter(L"COM7"));  // makes the lock; no port is opened
    const vantrel::unique_handle lock(
        OpenMutexW(READ_CONTROL, FALSE, vantrel::port_lock_name(L"COM7").c_str()));
    // Only SYSTEM and Administrators may read the list, not even its maker; under Wine every
    // process is an administrator.
    if (!lock.get() && GetLastError() == ERROR_ACCESS_DENIED) {
        GTEST_SKIP() << "reading the lock's access list takes an administrator";
    }
    ASSERT_TRUE(lock.get()) << GetLastError();
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    ASSERT_EQ(DWORD{ERROR_SUCCESS}, GetSecurityInfo(lock.get(), SE_KERNEL_OBJECT,
                                                    DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                                    &dacl, nullptr, &sd));
    const std::unique_ptr<void, HLOCAL(WINAPI*)(HLOCAL)> sd_owner(sd, LocalFree);
    ASSERT_TRUE(dacl) << "a null DACL lets anyone do anything";
    const DWORD wait_and_release = SYNCHRONIZE | 0x0001;  // MUTEX_MODIFY_STATE
    const DWORD change = WRITE_DAC | WRITE_OWNER | DELETE | GENERIC_ALL | GENERIC_WRITE;
    DWORD everyone = 0;
    bool owner_limited = false;
    for (DWORD i = 0; i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        ASSERT_TRUE(GetAce(dacl, i, reinterpret_cast<void**>(&ace)));
        if (ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        PSID sid = &ace->SidStart;
        if (IsWellKnownSid(sid, WinLocalSystemSid) ||
            IsWellKnownSid(sid, WinBuiltinAdministratorsSid)) {
            continue;
        }
        EXPECT_EQ(0u, ace->Mask & change) << "entry " << i << " lets a user change the lock";
        if (IsWellKnownSid(sid, WinWorldSid)) everyone |= ace->Mask;
        // Without it the creator keeps READ_CONTROL and WRITE_DAC as the owner.
        if (IsWellKnownSid(sid, WinCreatorOwnerRightsSid)) owner_limited = true;
    }
    EXPECT_EQ(wait_and_release, everyone & wait_and_release);
    EXPECT_TRUE(owner_limited) << "no OWNER RIGHTS entry";
}
