// The library as the component runtime sees it: its exports, its class object, its type
// library and late binding. The library is registered in this prefix by the test fixture.
#include "test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using test::bstr;
using vantrel::com_ptr;
using vantrel::unique_bstr;

namespace {

std::wstring library_path() {
    const std::string path = test::exe_dir() + "VantrelCtrl.dll";
    return std::wstring(path.begin(), path.end());
}

// The library loaded directly, its exports at hand.
class Library : public testing::Test {
protected:
    void SetUp() override {
        module_ = LoadLibraryW(library_path().c_str());
        ASSERT_NE(nullptr, module_) << "error " << GetLastError();
        get_class_object_ = reinterpret_cast<decltype(get_class_object_)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
        can_unload_now_ = reinterpret_cast<decltype(can_unload_now_)>(
            reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
        ASSERT_NE(nullptr, get_class_object_);
        ASSERT_NE(nullptr, can_unload_now_);
    }
    void TearDown() override { FreeLibrary(module_); }

    com_ptr<IClassFactory> factory() {
        com_ptr<IClassFactory> f;
        EXPECT_EQ(S_OK, get_class_object_(CLSID_CommAds, IID_IClassFactory, f.put_void()));
        return f;
    }

    HMODULE module_ = nullptr;
    HRESULT(STDAPICALLTYPE* get_class_object_)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now_)() = nullptr;
};

}  // namespace

TEST_F(Library, CanUnloadNowFollowsInstancesClassObjectAndLocks) {
    EXPECT_EQ(S_OK, can_unload_now_());
    {
        com_ptr<ICommAds> object;
        ASSERT_EQ(S_OK, factory()->CreateInstance(nullptr, IID_ICommAds, object.put_void()));
        EXPECT_EQ(S_FALSE, can_unload_now_()) << "an instance lives";
    }
    EXPECT_EQ(S_OK, can_unload_now_());
    {
        auto f = factory();
        EXPECT_EQ(S_FALSE, can_unload_now_()) << "a client holds the class object";
    }
    EXPECT_EQ(S_OK, can_unload_now_());
    factory()->LockServer(TRUE);
    EXPECT_EQ(S_FALSE, can_unload_now_());
    factory()->LockServer(FALSE);
    EXPECT_EQ(S_OK, can_unload_now_());
}

TEST_F(Library, ClassObjectRequests) {
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get_class_object_(IID_ICommAds, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, get_class_object_(GUID_NULL, IID_IUnknown, &out));
    EXPECT_EQ(E_POINTER, get_class_object_(CLSID_CommAds, IID_IClassFactory, nullptr));
    out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, get_class_object_(CLSID_CommAds, IID_IDispatch, &out));
    EXPECT_EQ(nullptr, out);

    auto first = factory();
    auto second = factory();
    EXPECT_EQ(first.get(), second.get()) << "one class object per process";
    com_ptr<IUnknown> unknown;
    ASSERT_EQ(S_OK, get_class_object_(CLSID_CommAds, IID_IUnknown, unknown.put_void()));
    EXPECT_EQ(static_cast<void*>(first.get()), static_cast<void*>(unknown.get()));
}

TEST_F(Library, CreateInstanceRefusesAggregationAndNullResults) {
    auto f = factory();
    com_ptr<ICommAds> outer;
    ASSERT_EQ(S_OK, f->CreateInstance(nullptr, IID_ICommAds, outer.put_void()));
    for (const IID* iid : {&IID_IUnknown, &IID_ICommAds, &IID_IDispatch}) {
        void* out = reinterpret_cast<void*>(0xdeadbeef);
        EXPECT_EQ(CLASS_E_NOAGGREGATION, f->CreateInstance(outer.get(), *iid, &out));
        EXPECT_EQ(nullptr, out);
    }
    EXPECT_EQ(E_POINTER, f->CreateInstance(nullptr, IID_ICommAds, nullptr));
    void* out = reinterpret_cast<void*>(0xdeadbeef);
    EXPECT_EQ(E_NOINTERFACE, f->CreateInstance(nullptr, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
    outer.reset();
    f.reset();
    EXPECT_EQ(S_OK, can_unload_now_()) << "refused creations leave nothing alive";
}

TEST(Activation, ByClassIdAndBothProgIds) {
    com_ptr<ICommAds> by_clsid;
    ASSERT_EQ(S_OK, CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER, IID_ICommAds,
                                     by_clsid.put_void()));
    for (const wchar_t* progid : {L"VantrelCtrl.CommAds", L"VantrelCtrl.CommAds.1"}) {
        CLSID clsid{};
        ASSERT_EQ(S_OK, CLSIDFromProgID(progid, &clsid));
        EXPECT_TRUE(IsEqualCLSID(CLSID_CommAds, clsid));
    }
    com_ptr<IMarshal> marshal;
    EXPECT_EQ(S_OK, by_clsid.as(marshal)) << "the free-threaded marshaler answers";
    LONG clock = 0;
    EXPECT_EQ(S_OK, by_clsid->get_ClockRate(&clock));
    EXPECT_EQ(10, clock);
}

TEST(TypeLibrary, LibraryAttributes) {
    com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLib(library_path().c_str(), library.put()));
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, library->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_VANTRELCTRLLib, attr->guid));
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    EXPECT_EQ(0u, attr->lcid);
    EXPECT_EQ(sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32, attr->syskind);
    // The loader adds FHASDISKIMAGE; the library itself carries no flags.
    EXPECT_EQ(0, attr->wLibFlags & ~LIBFLAG_FHASDISKIMAGE);
    library->ReleaseTLibAttr(attr);

    unique_bstr name, doc, help_file;
    DWORD context = 0xdeadbeef;
    ASSERT_EQ(S_OK, library->GetDocumentation(-1, name.put(), doc.put(), &context, help_file.put()));
    EXPECT_STREQ(L"VANTRELCTRLLib", name.get());
    EXPECT_STREQ(L"VantrelCtrl 1.0 Type Library", doc.get());
    EXPECT_EQ(0u, context);
    EXPECT_EQ(0u, help_file.length());

    ASSERT_EQ(2u, library->GetTypeInfoCount());
    TYPEKIND kind;
    ASSERT_EQ(S_OK, library->GetTypeInfoType(0, &kind));
    EXPECT_EQ(TKIND_COCLASS, kind);
    ASSERT_EQ(S_OK, library->GetTypeInfoType(1, &kind));
    EXPECT_EQ(TKIND_DISPATCH, kind) << "a dual interface is listed by its dispatch face";
}

namespace {

// The type description that entry index of info's implemented types refers to (-1: the vtable
// face of a dual interface); empty when there is none.
com_ptr<ITypeInfo> implemented_type(ITypeInfo* info, UINT index) {
    com_ptr<ITypeInfo> referenced;
    HREFTYPE ref = 0;
    if (SUCCEEDED(info->GetRefTypeOfImplType(index, &ref))) info->GetRefTypeInfo(ref, referenced.put());
    return referenced;
}

}  // namespace

TEST(TypeLibrary, TheClass) {
    com_ptr<ITypeLib> library;
    ASSERT_EQ(S_OK, LoadTypeLib(library_path().c_str(), library.put()));
    com_ptr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(CLSID_CommAds, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_COCLASS, attr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE, attr->wTypeFlags);
    EXPECT_EQ(0, attr->wMajorVerNum);
    EXPECT_EQ(0, attr->wMinorVerNum);
    ASSERT_EQ(1, attr->cImplTypes);
    info->ReleaseTypeAttr(attr);
    INT flags = 0;
    ASSERT_EQ(S_OK, info->GetImplTypeFlags(0, &flags));
    EXPECT_EQ(IMPLTYPEFLAG_FDEFAULT, flags);
    com_ptr<ITypeInfo> implemented = implemented_type(info.get(), 0);
    ASSERT_TRUE(implemented);
    ASSERT_EQ(S_OK, implemented->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_ICommAds, attr->guid));
    implemented->ReleaseTypeAttr(attr);
    unique_bstr name, doc;
    ASSERT_EQ(S_OK, info->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr));
    EXPECT_STREQ(L"CommAds", name.get());
    EXPECT_STREQ(L"CommAds Class", doc.get());
}

namespace {

struct member {
    const wchar_t* name;
    DISPID id;
    INVOKEKIND kind;
    VARTYPE value_type;  // the property's or the parameter's type; VT_EMPTY for none
    const wchar_t* help;
};

// The vtable order of the contract, after IUnknown and IDispatch.
const member members[] = {
    {L"PortName", 1, INVOKE_PROPERTYGET, VT_BSTR, L"property PortName"},
    {L"PortName", 1, INVOKE_PROPERTYPUT, VT_BSTR, L"property PortName"},
    {L"OpenPort", 2, INVOKE_FUNC, VT_EMPTY, L"method OpenPort"},
    {L"ClosePort", 3, INVOKE_FUNC, VT_EMPTY, L"method ClosePort"},
    {L"DTR", 4, INVOKE_PROPERTYPUT, VT_I4, L"property DTR"},
    {L"RTS", 5, INVOKE_PROPERTYPUT, VT_I4, L"property RTS"},
    {L"On", 6, INVOKE_PROPERTYPUT, VT_I4, L"property On"},
    {L"ClockRate", 7, INVOKE_PROPERTYGET, VT_I4, L"property ClockRate"},
    {L"ClockRate", 7, INVOKE_PROPERTYPUT, VT_I4, L"property ClockRate"},
    {L"StandByDuration", 8, INVOKE_PROPERTYGET, VT_I4, L"property StandByDuration"},
    {L"StandByDuration", 8, INVOKE_PROPERTYPUT, VT_I4, L"property StandByDuration"},
    {L"ResetDuration", 9, INVOKE_PROPERTYGET, VT_I4, L"property ResetDuration"},
    {L"ResetDuration", 9, INVOKE_PROPERTYPUT, VT_I4, L"property ResetDuration"},
};

com_ptr<ITypeInfo> interface_info() {
    com_ptr<ITypeLib> library;
    EXPECT_EQ(S_OK, LoadTypeLib(library_path().c_str(), library.put()));
    com_ptr<ITypeInfo> info;
    if (library) {
        EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(IID_ICommAds, info.put()));
    }
    return info;
}

std::string narrow(const wchar_t* w) { return test::narrow(w ? w : L""); }

}  // namespace

TEST(TypeLibrary, TheInterfaceAndItsVtable) {
    auto dispatch_face = interface_info();
    ASSERT_TRUE(dispatch_face);
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, dispatch_face->GetTypeAttr(&attr));
    constexpr WORD dual_flags = TYPEFLAG_FDUAL | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE;
    EXPECT_EQ(TKIND_DISPATCH, attr->typekind);
    // Loaders may leave FOLEAUTOMATION off the dispatch face (Wine does); nothing else is set.
    EXPECT_EQ(TYPEFLAG_FDUAL | TYPEFLAG_FDISPATCHABLE, attr->wTypeFlags & ~TYPEFLAG_FOLEAUTOMATION);
    dispatch_face->ReleaseTypeAttr(attr);
    unique_bstr name, doc;
    ASSERT_EQ(S_OK, dispatch_face->GetDocumentation(MEMBERID_NIL, name.put(), doc.put(), nullptr, nullptr));
    EXPECT_STREQ(L"ICommAds", name.get());
    EXPECT_STREQ(L"ICommAds Interface", doc.get());

    // The vtable face of the dual interface.
    com_ptr<ITypeInfo> info = implemented_type(dispatch_face.get(), static_cast<UINT>(-1));
    ASSERT_TRUE(info);
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_EQ(TKIND_INTERFACE, attr->typekind);
    EXPECT_EQ(dual_flags, attr->wTypeFlags);
    EXPECT_EQ(13, attr->cFuncs);
    EXPECT_EQ(20 * sizeof(void*), attr->cbSizeVft) << "20 vtable entries";
    EXPECT_EQ(0, attr->wMajorVerNum);
    ASSERT_EQ(1, attr->cImplTypes);
    info->ReleaseTypeAttr(attr);
    com_ptr<ITypeInfo> base = implemented_type(info.get(), 0);
    ASSERT_TRUE(base);
    ASSERT_EQ(S_OK, base->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, attr->guid));
    base->ReleaseTypeAttr(attr);

    for (UINT i = 0; i < 13; ++i) {
        const member& m = members[i];
        FUNCDESC* f = nullptr;
        ASSERT_EQ(S_OK, info->GetFuncDesc(i, &f));
        const std::string where = "function " + std::to_string(i) + " (" + narrow(m.name) + ")";
        EXPECT_EQ(m.id, f->memid) << where;
        EXPECT_EQ(m.kind, f->invkind) << where;
        EXPECT_EQ(FUNC_PUREVIRTUAL, f->funckind) << where;
        EXPECT_EQ(CC_STDCALL, f->callconv) << where;
        EXPECT_EQ(static_cast<SHORT>((7 + i) * sizeof(void*)), f->oVft) << where;
        EXPECT_EQ(0, f->wFuncFlags) << where;
        EXPECT_EQ(0, f->cParamsOpt) << where;
        EXPECT_EQ(VT_HRESULT, f->elemdescFunc.tdesc.vt) << where;

        if (m.kind == INVOKE_PROPERTYGET) {
            ASSERT_EQ(1, f->cParams) << where;
            EXPECT_EQ(VT_PTR, f->lprgelemdescParam[0].tdesc.vt) << where;
            EXPECT_EQ(m.value_type, f->lprgelemdescParam[0].tdesc.lptdesc->vt) << where;
            EXPECT_EQ(PARAMFLAG_FOUT | PARAMFLAG_FRETVAL, f->lprgelemdescParam[0].paramdesc.wParamFlags) << where;
        } else if (m.kind == INVOKE_PROPERTYPUT) {
            const SHORT expected = m.id == 6 ? 2 : 1;
            ASSERT_EQ(expected, f->cParams) << where;
            const ELEMDESC& value = f->lprgelemdescParam[expected - 1];
            EXPECT_EQ(m.value_type, value.tdesc.vt) << where;
            EXPECT_EQ(PARAMFLAG_FIN, value.paramdesc.wParamFlags) << where;
            if (m.id == 6) {
                EXPECT_EQ(VT_BSTR, f->lprgelemdescParam[0].tdesc.vt) << where;
                EXPECT_EQ(0, f->lprgelemdescParam[0].paramdesc.wParamFlags) << where;
            }
        } else {
            EXPECT_EQ(0, f->cParams) << where;
        }
        info->ReleaseFuncDesc(f);

        unique_bstr member_name, help;
        ASSERT_EQ(S_OK, info->GetDocumentation(m.id, member_name.put(), help.put(), nullptr, nullptr));
        EXPECT_STREQ(m.name, member_name.get()) << where;
        EXPECT_STREQ(m.help, help.get()) << where;
    }
}

TEST(TypeLibrary, ParameterNames) {
    auto dispatch_face = interface_info();
    ASSERT_TRUE(dispatch_face);
    // The vtable face: the dispatch face hides the out/retval parameters.
    com_ptr<ITypeInfo> info = implemented_type(dispatch_face.get(), static_cast<UINT>(-1));
    ASSERT_TRUE(info);
    // Names by DISPID come from the first entry with it: the get of a property. A put-only
    // member shows that the value parameter of a put carries no name.
    const std::vector<std::wstring> expected[] = {
        {},
        {L"PortName", L"pVal"},
        {L"OpenPort"},
        {L"ClosePort"},
        {L"DTR"},
        {L"RTS"},
        {L"On", L"bstrSwitchID"},
        {L"ClockRate", L"pVal"},
        {L"StandByDuration", L"pVal"},
        {L"ResetDuration", L"pVal"},
    };
    for (DISPID id = 1; id <= 9; ++id) {
        BSTR names[4] = {};
        UINT count = 0;
        ASSERT_EQ(S_OK, info->GetNames(id, names, 4, &count)) << "DISPID " << id;
        std::vector<std::wstring> got;
        for (UINT n = 0; n < count; ++n) {
            if (names[n]) got.emplace_back(names[n]);
            SysFreeString(names[n]);
        }
        EXPECT_EQ(expected[id], got) << "DISPID " << id;
    }
}

namespace {

std::wstring version_string(const std::vector<BYTE>& block, const wchar_t* name, bool* present) {
    void* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
    *present = VerQueryValueW(block.data(), path.c_str(), &value, &length) != 0;
    return *present && value ? std::wstring(static_cast<const wchar_t*>(value)) : std::wstring();
}

}  // namespace

TEST(Resources, VersionInformationAnnouncesSelfRegistration) {
    const std::wstring path = library_path();
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    ASSERT_NE(0u, size);
    std::vector<BYTE> block(size);
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, size, block.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionMS);
    EXPECT_EQ(MAKELONG(0, 1), fixed->dwFileVersionLS);
    EXPECT_EQ(fixed->dwFileVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(fixed->dwFileVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(static_cast<DWORD>(VFT_DLL), fixed->dwFileType);
    EXPECT_EQ(static_cast<DWORD>(VOS__WINDOWS32), fixed->dwFileOS);
    EXPECT_EQ(0u, fixed->dwFileFlags & fixed->dwFileFlagsMask);

    const struct {
        const wchar_t* name;
        const wchar_t* value;
    } strings[] = {
        {L"Comments", L"Vantrel control for CM17A"}, {L"FileDescription", L"VantrelCtrl Module"},
        {L"FileVersion", L"1, 0, 1, 0"},            {L"InternalName", L"VantrelCtrl"},
        {L"OLESelfRegister", L""},                   {L"OriginalFilename", L"VantrelCtrl.DLL"},
        {L"ProductName", L"VantrelCtrl Module"},     {L"ProductVersion", L"1, 0, 1, 0"},
        {L"LegalTrademarks", L""},                   {L"PrivateBuild", L""},
        {L"SpecialBuild", L""},
    };
    for (const auto& s : strings) {
        bool present = false;
        EXPECT_EQ(s.value, version_string(block, s.name, &present)) << narrow(s.name);
        EXPECT_TRUE(present) << narrow(s.name);
    }
}

TEST(Resources, TypeLibraryAndRegistryScriptInUsEnglish) {
    HMODULE module = LoadLibraryExW(library_path().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module);
    const WORD us_english = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    EXPECT_NE(nullptr, FindResourceExW(module, L"TYPELIB", MAKEINTRESOURCEW(1), us_english));
    HRSRC script = FindResourceExW(module, L"REGISTRY", MAKEINTRESOURCEW(101), us_english);
    ASSERT_NE(nullptr, script);
    const char* text = static_cast<const char*>(LockResource(LoadResource(module, script)));
    ASSERT_NE(nullptr, text);
    const std::string body(text, SizeofResource(module, script));
    EXPECT_NE(std::string::npos, body.find("%MODULE%")) << "the script is stored as 8-bit text";
    FreeLibrary(module);
}

namespace {

com_ptr<IDispatch> make_dispatch() {
    com_ptr<IDispatch> object;
    EXPECT_EQ(S_OK, CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                     object.put_void()));
    return object;
}

DISPID id_of(IDispatch* object, const wchar_t* name, HRESULT* status = nullptr) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID id = 0x5eadbeef;
    const HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (status) *status = hr;
    return id;
}

struct invoke_result {
    HRESULT hr;
    VARIANT value;
    EXCEPINFO exception;
    UINT arg_err;
};

invoke_result invoke(IDispatch* object, DISPID id, WORD flags, std::vector<VARIANT> args,
                     bool named_put = false) {
    invoke_result r{};
    VariantInit(&r.value);
    r.arg_err = 0xdeadbeef;
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS params{args.empty() ? nullptr : args.data(), named_put ? &put_id : nullptr,
                      static_cast<UINT>(args.size()), named_put ? 1u : 0u};
    r.hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, &r.value,
                          &r.exception, &r.arg_err);
    return r;
}

VARIANT i4(LONG v) {
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    return x;
}

VARIANT text(const wchar_t* s) {
    VARIANT x;
    VariantInit(&x);
    V_VT(&x) = VT_BSTR;
    V_BSTR(&x) = SysAllocString(s);
    return x;
}

}  // namespace

TEST(Dispatch, NamesResolveToTheirIds) {
    auto object = make_dispatch();
    UINT count = 0;
    EXPECT_EQ(S_OK, object->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    const wchar_t* names[] = {L"PortName", L"OpenPort", L"ClosePort", L"DTR", L"RTS",
                              L"On", L"ClockRate", L"StandByDuration", L"ResetDuration"};
    for (DISPID expected = 1; expected <= 9; ++expected) {
        EXPECT_EQ(expected, id_of(object.get(), names[expected - 1])) << narrow(names[expected - 1]);
    }
    EXPECT_EQ(7, id_of(object.get(), L"clockrate")) << "names are not case-sensitive";
    EXPECT_EQ(6, id_of(object.get(), L"ON"));
    HRESULT hr = S_OK;
    id_of(object.get(), L"Frobnicate", &hr);
    EXPECT_EQ(DISP_E_UNKNOWNNAME, hr);

    // Several names at once: a member and one of its parameters.
    LPOLESTR pair[] = {const_cast<LPOLESTR>(L"On"), const_cast<LPOLESTR>(L"bstrSwitchID")};
    DISPID ids[2] = {0, 0x5eadbeef};
    EXPECT_EQ(S_OK, object->GetIDsOfNames(IID_NULL, pair, 2, LOCALE_USER_DEFAULT, ids));
    EXPECT_EQ(6, ids[0]);
    EXPECT_EQ(0, ids[1]);

    com_ptr<ITypeInfo> info;
    ASSERT_EQ(S_OK, object->GetTypeInfo(0, LOCALE_USER_DEFAULT, info.put()));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(IID_ICommAds, attr->guid));
    info->ReleaseTypeAttr(attr);
    EXPECT_EQ(E_POINTER, object->GetTypeInfo(0, LOCALE_USER_DEFAULT, nullptr));
}

TEST(Dispatch, GetsPutsAndTheIndexedPut) {
    auto object = make_dispatch();
    auto r = invoke(object.get(), 7, DISPATCH_PROPERTYGET, {});
    ASSERT_EQ(S_OK, r.hr);
    EXPECT_EQ(VT_I4, V_VT(&r.value));
    EXPECT_EQ(10, V_I4(&r.value));

    r = invoke(object.get(), 8, DISPATCH_PROPERTYPUT, {i4(-5)}, true);
    ASSERT_EQ(S_OK, r.hr);
    r = invoke(object.get(), 8, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(-5, V_I4(&r.value));

    VARIANT name = text(L"COM1:");
    r = invoke(object.get(), 1, DISPATCH_PROPERTYPUT, {name}, true);
    VariantClear(&name);
    ASSERT_EQ(S_OK, r.hr);
    r = invoke(object.get(), 1, DISPATCH_PROPERTYGET, {});
    ASSERT_EQ(VT_BSTR, V_VT(&r.value));
    EXPECT_STREQ(L"COM1:", V_BSTR(&r.value));
    VariantClear(&r.value);

    // A string that converts to a number is accepted for a number, as scripts expect.
    VARIANT digits = text(L"25");
    r = invoke(object.get(), 9, DISPATCH_PROPERTYPUT, {digits}, true);
    VariantClear(&digits);
    EXPECT_EQ(S_OK, r.hr);
    r = invoke(object.get(), 9, DISPATCH_PROPERTYGET, {});
    EXPECT_EQ(25, V_I4(&r.value));
}

TEST(Dispatch, AFailingMemberSurfacesAsAnExceptionWithItsDescription) {
    auto object = make_dispatch();
    // Arguments go in reverse order: the assigned value first, then the index.
    VARIANT id = text(L"Q1");
    auto r = invoke(object.get(), 6, DISPATCH_PROPERTYPUT, {i4(1), id}, true);
    VariantClear(&id);
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_STREQ(L"can't find switch [Q1]", r.exception.bstrDescription);
    EXPECT_STREQ(L"VantrelCtrl.CommAds.1", r.exception.bstrSource);
    EXPECT_EQ(E_FAIL, r.exception.scode);
    SysFreeString(r.exception.bstrDescription);
    SysFreeString(r.exception.bstrSource);
    SysFreeString(r.exception.bstrHelpFile);

    r = invoke(object.get(), 2, DISPATCH_METHOD, {});
    ASSERT_EQ(DISP_E_EXCEPTION, r.hr);
    EXPECT_STREQ(L"Unable to open the port", r.exception.bstrDescription);
    SysFreeString(r.exception.bstrDescription);
    SysFreeString(r.exception.bstrSource);
    SysFreeString(r.exception.bstrHelpFile);
}

TEST(Dispatch, BadCallsAreRefusedWithoutACrash) {
    auto object = make_dispatch();
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(object.get(), 4, DISPATCH_PROPERTYGET, {}).hr)
        << "DTR has no get";
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(object.get(), 6, DISPATCH_PROPERTYGET, {}).hr)
        << "On has no get";
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, invoke(object.get(), 42, DISPATCH_METHOD, {}).hr);

    VARIANT word = text(L"fast");
    auto r = invoke(object.get(), 7, DISPATCH_PROPERTYPUT, {word}, true);
    VariantClear(&word);
    EXPECT_EQ(DISP_E_TYPEMISMATCH, r.hr);

    // Too few arguments are refused. (Wine's standard invocation, unlike Windows', lets
    // surplus ones through, so that case is not pinned here.)
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, invoke(object.get(), 6, DISPATCH_PROPERTYPUT, {i4(1)}, true).hr);

    VARIANT array;
    VariantInit(&array);
    V_VT(&array) = VT_ARRAY | VT_I4;
    V_ARRAY(&array) = SafeArrayCreateVector(VT_I4, 0, 2);
    EXPECT_NE(S_OK, invoke(object.get(), 7, DISPATCH_PROPERTYPUT, {array}, true).hr);
    VariantClear(&array);

    // riid is reserved: a call that names an interface is refused before anything is done.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"ClockRate")};
    DISPID id = 0x5eadbeef;
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              object->GetIDsOfNames(IID_ICommAds, names, 1, LOCALE_USER_DEFAULT, &id));
    EXPECT_EQ(0x5eadbeef, id);
    VARIANT value = i4(99);
    DISPID put_id = DISPID_PROPERTYPUT;
    DISPPARAMS put{&value, &put_id, 1, 1};
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, object->Invoke(7, IID_IDispatch, LOCALE_USER_DEFAULT,
                                                      DISPATCH_PROPERTYPUT, &put, nullptr,
                                                      nullptr, nullptr));

    LONG clock = 0;
    com_ptr<ICommAds> early;
    ASSERT_EQ(S_OK, object.as(early));
    EXPECT_EQ(S_OK, early->get_ClockRate(&clock));
    EXPECT_EQ(10, clock) << "refused calls changed nothing";
}
