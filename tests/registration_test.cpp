// Self-registration, in a prefix of its own (a copy made for this test), so that other tests
// find the library registered whatever these do.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using test::exe_dir;
using vantrel::com_ptr;

namespace {

const char class_key[] = "CLSID\\{8CA177E3-B91E-4200-A171-068349162588}";
const char libid_key[] = "TypeLib\\{61A73E7E-9656-4749-969D-127562979CED}\\1.0";
const char* const platform = sizeof(void*) == 8 ? "win64" : "win32";

bool key_exists(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// A string value, or "(absent)".
std::string value_of(const std::string& path, const char* name = nullptr) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "(absent)";
    }
    char data[1024];
    DWORD size = sizeof data, type = 0;
    const LONG rc = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS) return "(absent)";
    if (type != REG_SZ) return "(not a string)";
    return std::string(data, size && data[size - 1] == '\0' ? size - 1 : size);
}

void counts(const std::string& path, DWORD* subkeys, DWORD* values) {
    HKEY key = nullptr;
    *subkeys = *values = 0xdeadbeef;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, subkeys, nullptr, nullptr, values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(key);
}

void add_key(const std::string& path, const char* value_name = nullptr) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    if (value_name) RegSetValueExA(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
    RegCloseKey(key);
}

// One copy of the library, loaded from path, with its exports.
class loaded_library {
public:
    explicit loaded_library(const std::string& path) : module_(LoadLibraryA(path.c_str())) {}
    ~loaded_library() {
        if (module_) FreeLibrary(module_);
    }
    loaded_library(const loaded_library&) = delete;
    loaded_library& operator=(const loaded_library&) = delete;

    bool loaded() const { return module_ != nullptr; }
    HRESULT call(const char* name) const {
        auto fn = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(module_, name)));
        return fn ? fn() : E_NOTIMPL;
    }
    HRESULT register_server() const { return call("DllRegisterServer"); }
    HRESULT unregister_server() const { return call("DllUnregisterServer"); }
    std::string path() const {
        char buffer[MAX_PATH];
        GetModuleFileNameA(module_, buffer, MAX_PATH);
        return buffer;
    }
    com_ptr<IDispatch> make_dispatch() const {
        auto get = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        com_ptr<IClassFactory> factory;
        com_ptr<IDispatch> object;
        if (get && SUCCEEDED(get(CLSID_CommAds, IID_IClassFactory, factory.put_void()))) {
            factory->CreateInstance(nullptr, IID_IDispatch, object.put_void());
        }
        return object;
    }

private:
    HMODULE module_;
};

// A copy of the library in a folder of its own under the temporary folder; the folder goes
// again with the copy and a type library beside it.
class library_copy {
public:
    explicit library_copy(const char* folder) {
        char temp[MAX_PATH];
        GetTempPathA(MAX_PATH, temp);
        dir_ = std::string(temp) + folder + "\\";
        CreateDirectoryA(dir_.c_str(), nullptr);
        copied_ = CopyFileA((exe_dir() + "VantrelCtrl.dll").c_str(), path().c_str(), FALSE);
    }
    ~library_copy() {
        DeleteFileA(path().c_str());
        DeleteFileA(tlb_path().c_str());
        RemoveDirectoryA(dir_.c_str());
    }
    library_copy(const library_copy&) = delete;
    library_copy& operator=(const library_copy&) = delete;

    bool copied() const { return copied_; }
    const std::string& dir() const { return dir_; }
    std::string path() const { return dir_ + "VantrelCtrl.dll"; }
    std::string tlb_path() const { return dir_ + "VantrelCtrl.tlb"; }

private:
    std::string dir_;
    bool copied_ = false;
};

// Spoils the copy's embedded type library so that the loader rejects it.
void spoil_type_library(const library_copy& copy) {
    HANDLE update = BeginUpdateResourceA(copy.path().c_str(), FALSE);
    ASSERT_NE(nullptr, update);
    char junk[] = "this is no type library";
    ASSERT_TRUE(UpdateResourceA(update, "TYPELIB", MAKEINTRESOURCEA(1),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), junk, sizeof junk));
    ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
    com_ptr<ITypeLib> embedded;
    const std::string path = copy.path();
    ASSERT_NE(S_OK, LoadTypeLib(std::wstring(path.begin(), path.end()).c_str(), embedded.put()))
        << "the copy still carries its type library";
}

// While it lives, HKCR\path grants everyone reading only (under Wine such a key refuses value
// writes); then the key gets its own access list back.
class read_only_key {
public:
    explicit read_only_key(const std::string& path) {
        if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, READ_CONTROL | WRITE_DAC, &key_) !=
            ERROR_SUCCESS) {
            return;
        }
        DWORD size = 0;
        RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, nullptr, &size);
        saved_.resize(size);
        if (size == 0 || RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data(),
                                           &size) != ERROR_SUCCESS) {
            return;
        }
        BYTE everyone[SECURITY_MAX_SID_SIZE];
        DWORD sid_size = sizeof everyone;
        BYTE acl_buffer[sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + SECURITY_MAX_SID_SIZE];
        ACL* acl = reinterpret_cast<ACL*>(acl_buffer);
        SECURITY_DESCRIPTOR sd;
        applied_ = CreateWellKnownSid(WinWorldSid, nullptr, everyone, &sid_size) &&
                   InitializeAcl(acl, sizeof acl_buffer, ACL_REVISION) &&
                   AddAccessAllowedAce(acl, ACL_REVISION, KEY_READ, everyone) &&
                   InitializeSecurityDescriptor(&sd, SECURITY_DESCRIPTOR_REVISION) &&
                   SetSecurityDescriptorDacl(&sd, TRUE, acl, FALSE) &&
                   RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, &sd) == ERROR_SUCCESS;
    }
    ~read_only_key() {
        if (applied_) RegSetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data());
        if (key_) RegCloseKey(key_);
    }
    read_only_key(const read_only_key&) = delete;
    read_only_key& operator=(const read_only_key&) = delete;

    bool applied() const { return applied_; }

private:
    HKEY key_ = nullptr;
    std::vector<BYTE> saved_;
    bool applied_ = false;
};

// The class as clients reach it through the registry: by both ProgIDs and by its CLSID.
void expect_activatable(const std::string& context) {
    for (const wchar_t* progid : {L"VantrelCtrl.CommAds", L"VantrelCtrl.CommAds.1"}) {
        CLSID clsid{};
        EXPECT_EQ(S_OK, CLSIDFromProgID(progid, &clsid)) << context;
        EXPECT_TRUE(IsEqualCLSID(CLSID_CommAds, clsid)) << context;
    }
    com_ptr<ICommAds> object;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER, IID_ICommAds,
                                     object.put_void()))
        << context;
}

std::string typelib_path() { return value_of(std::string(libid_key) + "\\0\\" + platform); }

class Registration : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(library_.loaded()) << exe_dir() << "VantrelCtrl.dll";
        library_.unregister_server();
    }
    void TearDown() override { library_.unregister_server(); }

    loaded_library library_{exe_dir() + "VantrelCtrl.dll"};
};

}  // namespace

TEST_F(Registration, WritesTheEntriesAndTheTypeLibrary) {
    ASSERT_EQ(S_OK, library_.register_server());
    const std::string clsid = "{8CA177E3-B91E-4200-A171-068349162588}";
    EXPECT_EQ("CommAds Class", value_of("VantrelCtrl.CommAds.1"));
    EXPECT_EQ(clsid, value_of("VantrelCtrl.CommAds.1\\CLSID"));
    EXPECT_EQ("CommAds Class", value_of("VantrelCtrl.CommAds"));
    EXPECT_EQ(clsid, value_of("VantrelCtrl.CommAds\\CLSID"));
    EXPECT_EQ("VantrelCtrl.CommAds.1", value_of("VantrelCtrl.CommAds\\CurVer"));
    const std::string k = class_key;
    EXPECT_EQ("CommAds Class", value_of(k));
    EXPECT_EQ("VantrelCtrl.CommAds.1", value_of(k + "\\ProgID"));
    EXPECT_EQ("VantrelCtrl.CommAds", value_of(k + "\\VersionIndependentProgID"));
    EXPECT_EQ(library_.path(), value_of(k + "\\InprocServer32"));
    EXPECT_EQ("Free", value_of(k + "\\InprocServer32", "ThreadingModel"));
    EXPECT_EQ("{61A73E7E-9656-4749-969D-127562979CED}", value_of(k + "\\TypeLib"));
    DWORD subkeys = 0, values = 0;
    counts(k + "\\Programmable", &subkeys, &values);
    EXPECT_EQ(0u, subkeys);
    EXPECT_EQ(0u, values) << "Programmable is an empty key";
    counts(k, &subkeys, &values);
    EXPECT_EQ(5u, subkeys);

    EXPECT_EQ(library_.path(), typelib_path());
    com_ptr<ITypeLib> registered;
    EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_VANTRELCTRLLib, 1, 0, 0, registered.put()));
}

TEST_F(Registration, ReplacesTheClassKeyAndMergesTheProgIds) {
    ASSERT_EQ(S_OK, library_.register_server());
    const std::string k = class_key;
    add_key(k + "\\Stray", "x");
    add_key(k + "\\Programmable\\Inside");
    add_key(k, "StrayValue");
    add_key("VantrelCtrl.CommAds\\Kept", "y");
    ASSERT_EQ(S_OK, library_.register_server());
    EXPECT_FALSE(key_exists(k + "\\Stray"));
    EXPECT_FALSE(key_exists(k + "\\Programmable\\Inside"));
    EXPECT_EQ("(absent)", value_of(k, "StrayValue"));
    EXPECT_TRUE(key_exists("VantrelCtrl.CommAds\\Kept"));
    EXPECT_EQ(library_.path(), value_of(k + "\\InprocServer32"));
}

TEST_F(Registration, UnregistrationLeavesOnlyClsid) {
    ASSERT_EQ(S_OK, library_.register_server());
    add_key(std::string(class_key) + "\\AddedLater\\Deeper");
    EXPECT_EQ(S_OK, library_.unregister_server());
    for (const char* gone : {"VantrelCtrl.CommAds.1", "VantrelCtrl.CommAds", class_key}) {
        EXPECT_FALSE(key_exists(gone)) << gone;
    }
    EXPECT_TRUE(key_exists("CLSID"));
    com_ptr<ITypeLib> registered;
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED,
              LoadRegTypeLib(LIBID_VANTRELCTRLLib, 1, 0, 0, registered.put()));
}

TEST_F(Registration, UnregisteringACleanSystemSucceedsAndChangesNothing) {
    DWORD before_keys = 0, before_values = 0, after_keys = 0, after_values = 0;
    counts("CLSID", &before_keys, &before_values);
    EXPECT_EQ(S_OK, library_.unregister_server());
    EXPECT_EQ(S_OK, library_.unregister_server());
    counts("CLSID", &after_keys, &after_values);
    EXPECT_EQ(before_keys, after_keys);
    EXPECT_EQ(before_values, after_values);
}

TEST_F(Registration, APathWithASingleQuoteIsRegisteredUnchanged) {
    const library_copy copy("it's here");
    ASSERT_TRUE(copy.copied());
    loaded_library quoted(copy.path());
    ASSERT_TRUE(quoted.loaded());
    ASSERT_EQ(S_OK, quoted.register_server());
    EXPECT_EQ(quoted.path(), value_of(std::string(class_key) + "\\InprocServer32"));
    EXPECT_NE(std::string::npos, quoted.path().find("it's here"));
    EXPECT_EQ(S_OK, quoted.unregister_server());
}

TEST_F(Registration, WithoutAnEmbeddedTypeLibraryTheTlbBesideItIsRegistered) {
    const library_copy copy("fallback.d");
    ASSERT_TRUE(copy.copied());
    ASSERT_TRUE(CopyFileA(VANTREL_TLB_PATH, copy.tlb_path().c_str(), FALSE)) << VANTREL_TLB_PATH;
    ASSERT_NO_FATAL_FAILURE(spoil_type_library(copy));
    loaded_library stripped(copy.path());
    ASSERT_TRUE(stripped.loaded());
    ASSERT_EQ(S_OK, stripped.register_server());
    EXPECT_EQ(copy.tlb_path(), typelib_path());
    const std::string helpdir = value_of(std::string(libid_key) + "\\HELPDIR");
    EXPECT_TRUE(helpdir == copy.dir() || helpdir + "\\" == copy.dir()) << helpdir;
    EXPECT_EQ(S_OK, stripped.unregister_server());
}

// The script's changes go back when the type library cannot be registered after them: here
// the copy had pointed the class at itself.
TEST_F(Registration, AFailingTypeLibraryTakesTheScriptBack) {
    ASSERT_EQ(S_OK, library_.register_server());
    const library_copy copy("no-type-library.d");
    ASSERT_TRUE(copy.copied());
    ASSERT_NO_FATAL_FAILURE(spoil_type_library(copy));
    loaded_library stripped(copy.path());
    ASSERT_TRUE(stripped.loaded());
    const HRESULT hr = stripped.register_server();
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    EXPECT_EQ(library_.path(), value_of(std::string(class_key) + "\\InprocServer32"));
    EXPECT_EQ(library_.path(), typelib_path());
}

// A re-registration that fails on a key that refuses writes keeps the registration it found.
TEST_F(Registration, AFailedReRegistrationKeepsTheWorkingOne) {
    for (const char* locked : {class_key, "VantrelCtrl.CommAds"}) {
        ASSERT_EQ(S_OK, library_.register_server()) << locked;
        const read_only_key guard(locked);
        ASSERT_TRUE(guard.applied()) << locked;
        EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), library_.register_server()) << locked;
        expect_activatable(locked);
    }
}

TEST_F(Registration, Regsvr32RegistersAndUnregisters) {
    const std::string dll = exe_dir() + "VantrelCtrl.dll";
    for (const char* flags : {"/s", "/u /s"}) {
        std::string command = "regsvr32.exe " + std::string(flags) + " \"" + dll + "\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi{};
        ASSERT_TRUE(CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                   nullptr, &si, &pi));
        WaitForSingleObject(pi.hProcess, INFINITE);
        DWORD code = 1;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        EXPECT_EQ(0u, code) << command;
        const bool registering = std::string(flags) == "/s";
        EXPECT_EQ(registering, key_exists(std::string(class_key) + "\\InprocServer32")) << command;
        EXPECT_EQ(registering ? dll : "(absent)", typelib_path()) << command;
    }
}

TEST_F(Registration, LateBindingWaitsForTheRegisteredTypeLibrary) {
    auto object = library_.make_dispatch();
    ASSERT_TRUE(object);
    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count) << "reported even before registration";
    LPOLESTR name[] = {const_cast<LPOLESTR>(L"ClockRate")};
    DISPID id = 0;
    EXPECT_EQ(TYPE_E_LIBNOTREGISTERED,
              object->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id));
    com_ptr<ICommAds> early;
    ASSERT_EQ(S_OK, object.as(early));
    LONG clock = 0;
    EXPECT_EQ(S_OK, early->get_ClockRate(&clock)) << "the vtable does not need the registration";

    ASSERT_EQ(S_OK, library_.register_server());
    EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, name, 1, LOCALE_USER_DEFAULT, &id))
        << "a failed load is tried again";
    EXPECT_EQ(7, id);
}
