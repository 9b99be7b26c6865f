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
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
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
    const LONG rc =
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data), &size);
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
    if (value_name)
        RegSetValueExA(key, value_name, 0, REG_SZ, reinterpret_cast<const BYTE*>("x"), 2);
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

// Writes one resource of the copy, and with keep_others false removes all the others.
void rewrite_resource(const library_copy& copy, const char* type, int id, const void* data,
                      DWORD size, bool keep_others = true) {
    HANDLE update = BeginUpdateResourceA(copy.path().c_str(), !keep_others);
    ASSERT_NE(nullptr, update);
    ASSERT_TRUE(UpdateResourceA(update, type, MAKEINTRESOURCEA(id),
                                MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                const_cast<void*>(data), size));
    ASSERT_TRUE(EndUpdateResourceA(update, FALSE));
}

// Spoils the copy's embedded type library so that the loader rejects it.
void spoil_type_library(const library_copy& copy) {
    const char junk[] = "this is no type library";
    ASSERT_NO_FATAL_FAILURE(rewrite_resource(copy, "TYPELIB", 1, junk, sizeof junk));
    com_ptr<ITypeLib> embedded;
    const std::string path = copy.path();
    ASSERT_NE(S_OK, LoadTypeLib(std::wstring(path.begin(), path.end()).c_str(), embedded.put()))
        << "the copy still carries its type library";
}

// Leaves the copy its type library alone (Wine's UpdateResource cannot remove one resource).
void remove_registry_script(const library_copy& copy) {
    HMODULE file = LoadLibraryExA(copy.path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, file);
    HRSRC found = FindResourceA(file, MAKEINTRESOURCEA(1), "TYPELIB");
    const char* data =
        found ? static_cast<const char*>(LockResource(LoadResource(file, found))) : nullptr;
    const std::string library = data ? std::string(data, SizeofResource(file, found)) : "";
    FreeLibrary(file);
    ASSERT_FALSE(library.empty());
    ASSERT_NO_FATAL_FAILURE(
        rewrite_resource(copy, "TYPELIB", 1, library.data(), DWORD(library.size()), false));
}

void empty_registry_script(const library_copy& copy) {
    ASSERT_NO_FATAL_FAILURE(rewrite_resource(copy, "REGISTRY", 101, "", 1));
}

// Everything under HKCR\path, values included, as text; empty when the key is absent.
std::string tree_of(const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return "";
    }
    std::string out = path + "\n";
    char name[1024];
    BYTE data[4096];
    for (DWORD i = 0;; ++i) {
        DWORD name_size = sizeof name, size = sizeof data, type = 0;
        if (RegEnumValueA(key, i, name, &name_size, nullptr, &type, data, &size)) break;
        out += "  " + std::string(name, name_size) + " " + std::to_string(type) + " " +
               std::string(reinterpret_cast<char*>(data), size) + "\n";
    }
    std::vector<std::string> children;
    for (DWORD i = 0;; ++i) {
        DWORD name_size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &name_size, nullptr, nullptr, nullptr, nullptr)) break;
        children.emplace_back(name, name_size);
    }
    RegCloseKey(key);
    for (const std::string& child : children) out += tree_of(path + "\\" + child);
    return out;
}

// Every key that registration writes or removes.
std::string registration_snapshot() {
    std::string out;
    for (const char* path : {class_key, "VantrelCtrl.CommAds", "VantrelCtrl.CommAds.1",
                             "TypeLib\\{61A73E7E-9656-4749-969D-127562979CED}",
                             "Interface\\{AF4B8018-E1AE-49B6-AF73-99A85BF9DBE9}"}) {
        out += tree_of(path);
    }
    return out;
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
        if (size == 0 || RegGetKeySecurity(key_, DACL_SECURITY_INFORMATION, saved_.data(), &size) !=
                             ERROR_SUCCESS) {
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

// A copy whose type library cannot be read still takes back the entry that a working copy's
// registration wrote.
TEST_F(Registration, ACopyWithoutItsTypeLibraryStillUnregistersIt) {
    ASSERT_EQ(S_OK, library_.register_server());
    const library_copy copy("no-type-library-unregisters.d");
    ASSERT_TRUE(copy.copied());
    ASSERT_NO_FATAL_FAILURE(spoil_type_library(copy));
    loaded_library broken(copy.path());
    ASSERT_TRUE(broken.loaded());
    EXPECT_EQ(S_OK, broken.unregister_server());
    EXPECT_EQ("", registration_snapshot());
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

// A copy that cannot complete its registration fails and leaves the registry as it found it,
// clean or registered: without a registry script, with an empty one (registering nothing must
// not read as success), or with a type library that fails after the script ran.
TEST_F(Registration, ABrokenCopyFailsAndChangesNothing) {
    struct broken_copy {
        const char* folder;
        void (*spoil)(const library_copy&);
        bool unregistration_fails;  // with its script gone, unregistering must not remove a thing
    };
    const broken_copy cases[] = {
        {"no-script.d", remove_registry_script, true},
        {"empty-script.d", empty_registry_script, true},
        {"no-type-library.d", spoil_type_library, false},
    };
    for (const broken_copy& c : cases) {
        for (const bool registered : {false, true}) {
            const std::string context =
                std::string(c.folder) + (registered ? ", registered" : ", clean");
            library_.unregister_server();
            if (registered) {
                ASSERT_EQ(S_OK, library_.register_server()) << context;
            }
            const std::string before = registration_snapshot();
            ASSERT_EQ(registered, !before.empty()) << context;
            const library_copy copy(c.folder);
            ASSERT_TRUE(copy.copied()) << context;
            ASSERT_NO_FATAL_FAILURE(c.spoil(copy)) << context;
            loaded_library broken(copy.path());
            ASSERT_TRUE(broken.loaded()) << context;
            const HRESULT hr = broken.register_server();
            EXPECT_TRUE(FAILED(hr)) << context << std::hex << ": " << hr;
            if (c.unregistration_fails) {
                const HRESULT undone = broken.unregister_server();
                EXPECT_TRUE(FAILED(undone)) << context << std::hex << ": " << undone;
            }
            EXPECT_EQ(before, registration_snapshot()) << context;
        }
    }
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
        // Bounded: a registration that hangs fails here rather than stalling the run.
        const DWORD waited = WaitForSingleObject(pi.hProcess, 120000);
        if (waited != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
        EXPECT_EQ(WAIT_OBJECT_0, waited) << command;
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
