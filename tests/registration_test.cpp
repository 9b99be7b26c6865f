// Self-registration, in a prefix of its own (a copy made for this test), so that other tests
// find the library registered whatever these do.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>

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

std::string make_temp_dir(const char* name) {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    const std::string dir = std::string(temp) + name + "\\";
    CreateDirectoryA(dir.c_str(), nullptr);
    return dir;
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
    const std::string dir = make_temp_dir("it's here");
    const std::string copy = dir + "VantrelCtrl.dll";
    ASSERT_TRUE(CopyFileA((exe_dir() + "VantrelCtrl.dll").c_str(), copy.c_str(), FALSE));
    {
        loaded_library quoted(copy);
        ASSERT_TRUE(quoted.loaded());
        ASSERT_EQ(S_OK, quoted.register_server());
        EXPECT_EQ(quoted.path(), value_of(std::string(class_key) + "\\InprocServer32"));
        EXPECT_NE(std::string::npos, quoted.path().find("it's here"));
        EXPECT_EQ(S_OK, quoted.unregister_server());
    }
    DeleteFileA(copy.c_str());
    RemoveDirectoryA(dir.c_str());
}

TEST_F(Registration, WithoutAnEmbeddedTypeLibraryTheTlbBesideItIsRegistered) {
    const std::string dir = make_temp_dir("fallback.d");
    const std::string copy = dir + "VantrelCtrl.dll", tlb = dir + "VantrelCtrl.tlb";
    ASSERT_TRUE(CopyFileA((exe_dir() + "VantrelCtrl.dll").c_str(), copy.c_str(), FALSE));
    ASSERT_TRUE(CopyFileA(VANTREL_TLB_PATH, tlb.c_str(), FALSE)) << VANTREL_TLB_PATH;
    // Spoil the copy's embedded type library so that the loader rejects it.
    HANDLE update = BeginUpdateResourceA(copy.c_str(), FALSE);
    ASSERT_NE(nullptr, update);
    char junk[] = "this is no type library";
    ASSERT_TRUE(UpdateResourceA(update, "TYPELIB", MAKEINTRESOURCEA(1),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), junk, sizeof junk));
    ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
    {
        loaded_library stripped(copy);
        ASSERT_TRUE(stripped.loaded());
        com_ptr<ITypeLib> embedded;
        ASSERT_NE(S_OK, LoadTypeLib(std::wstring(copy.begin(), copy.end()).c_str(), embedded.put()))
            << "the copy still carries its type library";
        ASSERT_EQ(S_OK, stripped.register_server());
        EXPECT_EQ(tlb, typelib_path());
        const std::string helpdir = value_of(std::string(libid_key) + "\\HELPDIR");
        EXPECT_TRUE(helpdir == dir || helpdir + "\\" == dir) << helpdir;
        EXPECT_EQ(S_OK, stripped.unregister_server());
    }
    DeleteFileA(copy.c_str());
    DeleteFileA(tlb.c_str());
    RemoveDirectoryA(dir.c_str());
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
