#include "memory_key_store.h"
#include "registry_script.h"
#include "undo_journal.h"

#include <gtest/gtest.h>

#include <cstddef>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

using vantrel::registrar::disp_e_exception;
using vantrel::registrar::e_fail;
using vantrel::registrar::from_win32;
using vantrel::registrar::key_store;
using vantrel::registrar::memory_key_store;
using vantrel::registrar::mode;
using vantrel::registrar::run_script;
using vantrel::registrar::s_ok;
using vantrel::registrar::status;
using vantrel::registrar::undo_journal;
using vantrel::registrar::value_data;
using vantrel::registrar::variable;

#define CLASS_ID "{8CA177E3-B91E-4200-A171-068349162588}"
#define CLASS_KEY "HKCR\\CLSID\\" CLASS_ID

namespace {

const char* const module_path = "C:\\Program Files\\Vantrel\\VantrelCtrl.dll";
const char* const moved_module_path = "D:\\Moved\\VantrelCtrl.dll";

const char* const registered =
    "HKCR\\CLSID\n"
    CLASS_KEY "\n"
    "  @=\"CommAds Class\"\n"
    CLASS_KEY "\\InprocServer32\n"
    "  @=\"C:\\Program Files\\Vantrel\\VantrelCtrl.dll\"\n"
    "  \"ThreadingModel\"=\"Free\"\n"
    CLASS_KEY "\\ProgID\n"
    "  @=\"VantrelCtrl.CommAds.1\"\n"
    CLASS_KEY "\\Programmable\n"
    CLASS_KEY "\\TypeLib\n"
    "  @=\"{61A73E7E-9656-4749-969D-127562979CED}\"\n"
    CLASS_KEY "\\VersionIndependentProgID\n"
    "  @=\"VantrelCtrl.CommAds\"\n"
    "HKCR\\VantrelCtrl.CommAds\n"
    "  @=\"CommAds Class\"\n"
    "HKCR\\VantrelCtrl.CommAds\\CLSID\n"
    "  @=\"" CLASS_ID "\"\n"
    "HKCR\\VantrelCtrl.CommAds\\CurVer\n"
    "  @=\"VantrelCtrl.CommAds.1\"\n"
    "HKCR\\VantrelCtrl.CommAds.1\n"
    "  @=\"CommAds Class\"\n"
    "HKCR\\VantrelCtrl.CommAds.1\\CLSID\n"
    "  @=\"" CLASS_ID "\"\n";

std::string read_file(const char* path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The server doubles quotes in the path, as the script quotes the variable.
std::string quoted(const std::string& path) {
    std::string out;
    for (char c : path) out.append(c == '\'' ? 2 : 1, c);
    return out;
}

void expect_no_leaks(const memory_key_store& s, const std::string& context) {
    EXPECT_EQ(0u, s.open_handles()) << context;
    EXPECT_EQ(0u, s.bad_handle_uses()) << context;
}

class Registrar : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_FALSE(rgs.empty()) << "cannot read " VANTREL_RGS_PATH; }
    void TearDown() override { expect_no_leaks(store, "fixture store"); }

    status run(const std::string& script, mode m, const std::string& module = module_path) {
        return run_script(script, {{"Module", quoted(module)}}, m, store);
    }
    status register_server() { return register_into(store); }
    status register_into(memory_key_store& s, const std::string& module = module_path) {
        return run_script(rgs, {{"Module", quoted(module)}}, mode::registration, s);
    }
    status unregister_server() { return run(rgs, mode::unregistration); }

    const std::string rgs = read_file(VANTREL_RGS_PATH);
    memory_key_store store;
};

TEST_F(Registrar, WritesTheEntriesOfTheTable) {
    EXPECT_EQ(s_ok, register_server());
    EXPECT_EQ(registered, store.dump());
}

TEST_F(Registrar, WritesInTableOrder) {
    struct row {
        const char* key;
        const char* value;  // "" for a key without a value
    };
    const row rows[] = {
        {"VantrelCtrl.CommAds.1", "@"}, {"VantrelCtrl.CommAds.1\\CLSID", "@"},
        {"VantrelCtrl.CommAds", "@"}, {"VantrelCtrl.CommAds\\CLSID", "@"},
        {"VantrelCtrl.CommAds\\CurVer", "@"}, {"CLSID", ""}, {"CLSID\\" CLASS_ID, "@"},
        {"CLSID\\" CLASS_ID "\\ProgID", "@"}, {"CLSID\\" CLASS_ID "\\VersionIndependentProgID", "@"},
        {"CLSID\\" CLASS_ID "\\Programmable", ""}, {"CLSID\\" CLASS_ID "\\InprocServer32", "@"},
        {"CLSID\\" CLASS_ID "\\InprocServer32", "ThreadingModel"}, {"CLSID\\" CLASS_ID "\\TypeLib", "@"},
    };
    std::vector<std::string> expected;
    std::string previous;
    for (const row& r : rows) {
        std::string path = std::string("HKCR\\") + r.key;
        if (path != previous) expected.push_back("key " + path);
        if (*r.value) expected.push_back("value " + path + ' ' + r.value);
        previous = path;
    }
    EXPECT_EQ(s_ok, register_server());
    EXPECT_EQ(expected, store.journal());
}

TEST_F(Registrar, ModulePathKeepsItsSingleQuote) {
    EXPECT_EQ(s_ok, run(rgs, mode::registration, "C:\\Bob's tools\\VantrelCtrl.dll"));
    EXPECT_EQ("\"C:\\Bob's tools\\VantrelCtrl.dll\"", store.value(CLASS_KEY "\\InprocServer32", ""));
}

TEST_F(Registrar, ReplacesTheClassKeyButMergesProgIds) {
    store.put_string(CLASS_KEY, "Extra", "x");
    store.put_key(CLASS_KEY "\\Old\\Deeper");
    store.put_key(CLASS_KEY "\\Programmable\\Sub");
    store.put_string(CLASS_KEY "\\InprocServer32", "", "D:\\old\\VantrelCtrl.dll");
    store.put_string("HKCR\\VantrelCtrl.CommAds\\Extra", "", "kept");
    EXPECT_EQ(s_ok, register_server());
    std::string expected = registered;
    expected.insert(expected.find("HKCR\\VantrelCtrl.CommAds.1\n"),
                    "HKCR\\VantrelCtrl.CommAds\\Extra\n  @=\"kept\"\n");
    EXPECT_EQ(expected, store.dump());
}

TEST_F(Registrar, ForceRemoveThatCannotFinishMergesWithWhatIsLeft) {
    store.put_key(CLASS_KEY "\\Locked");
    store.set_rights(CLASS_KEY "\\Locked", memory_key_store::rights::read_only);
    EXPECT_EQ(s_ok, register_server());
    EXPECT_TRUE(store.has_key(CLASS_KEY "\\Locked"));
    EXPECT_EQ("\"CommAds Class\"", store.value(CLASS_KEY, ""));
}

TEST_F(Registrar, UnregistrationLeavesOnlyClsid) {
    store.put_string("HKCR\\CLSID\\{other}", "", "Other");
    ASSERT_EQ(s_ok, register_server());
    store.put_key(CLASS_KEY "\\AddedLater\\Deeper");
    store.put_string(CLASS_KEY "\\InprocServer32", "AddedLater", "x");
    store.put_key("HKCR\\VantrelCtrl.CommAds\\AddedLater");
    EXPECT_EQ(s_ok, unregister_server());
    EXPECT_EQ("HKCR\\CLSID\nHKCR\\CLSID\\{other}\n  @=\"Other\"\n", store.dump());
}

TEST_F(Registrar, UnregisteringWhatIsNotThereChangesNothing) {
    store.put_string("HKCR\\.txt", "", "txtfile");
    store.put_key("HKCR\\CLSID\\{other}\\InprocServer32");
    const std::string before = store.dump();
    EXPECT_EQ(s_ok, unregister_server());
    EXPECT_EQ(before, store.dump());
}

TEST_F(Registrar, UnregistrationSkipsAKeyItCannotOpen) {
    ASSERT_EQ(s_ok, register_server());
    store.set_rights(CLASS_KEY, memory_key_store::rights::none);
    EXPECT_EQ(s_ok, unregister_server());
    EXPECT_EQ("\"Free\"", store.value(CLASS_KEY "\\InprocServer32", "ThreadingModel"));
    EXPECT_FALSE(store.has_key("HKCR\\VantrelCtrl.CommAds"));
}

TEST_F(Registrar, ReRegistrationOverAReadOnlyKeyChangesNothing) {
    for (const char* locked : {CLASS_KEY, "HKCR\\VantrelCtrl.CommAds"}) {
        memory_key_store s;
        ASSERT_EQ(s_ok, register_into(s));
        s.set_rights(locked, memory_key_store::rights::read_only);
        const std::string before = s.dump();
        EXPECT_EQ(static_cast<status>(0x80070005u), register_into(s, moved_module_path)) << locked;
        EXPECT_EQ(before, s.dump()) << locked;
        expect_no_leaks(s, locked);
    }
}

// Fails each write of a registration in turn, on an empty store and over an earlier
// registration with values and keys of other owners among it.
TEST_F(Registrar, AFailedWriteLeavesTheStoreAsItWas) {
    const long injected = 1013;  // ERROR_CANTWRITE
    const std::function<void(memory_key_store&)> setups[] = {
        [](memory_key_store&) {},
        [&](memory_key_store& s) {
            ASSERT_EQ(s_ok, register_into(s));
            s.put_value(CLASS_KEY, "Foreign", value_data{3, std::string("\x01\0\xff", 3)});
            s.put_string(CLASS_KEY "\\Foreign\\Deeper", "", "theirs");
            s.put_value("HKCR\\VantrelCtrl.CommAds\\CurVer", "",
                        value_data{2, std::string("Old.%v%\0", 8)});
        },
    };
    for (const auto& setup : setups) {
        // What a run that nothing fails writes, in order: "key ..." for a key it creates,
        // "value ..." for a value.
        std::vector<std::string> writes;
        {
            memory_key_store s;
            setup(s);
            const std::size_t earlier = s.journal().size();
            ASSERT_EQ(s_ok, register_into(s, moved_module_path));
            writes.assign(s.journal().begin() + static_cast<std::ptrdiff_t>(earlier),
                          s.journal().end());
        }
        ASSERT_FALSE(writes.empty());
        for (std::size_t n = 1; n <= writes.size() + 1; ++n) {
            memory_key_store s;
            setup(s);
            const std::string before = s.dump();
            s.fail_write(n, injected);
            const status st = register_into(s, moved_module_path);
            if (n > writes.size()) {
                EXPECT_EQ(s_ok, st) << "a failure injected past the last write";
                continue;
            }
            const std::string& failed = writes[n - 1];
            const bool creates_key = failed.compare(0, 4, "key ") == 0;
            EXPECT_EQ(creates_key ? disp_e_exception : from_win32(injected), st) << failed;
            EXPECT_EQ(before, s.dump()) << failed;
            expect_no_leaks(s, failed);
        }
    }
}

TEST_F(Registrar, UndoReachesBackIntoEarlierRootBlocks) {
    store.put_string("HKCU\\Kept", "", "old");
    const std::string before = store.dump();
    store.fail_write(3, 1013);  // the creation of HKCR\Written
    EXPECT_EQ(disp_e_exception,
              run("HKCU { val Top = s 'r' Kept = s 'new' }\nHKCR { Written }", mode::registration));
    EXPECT_EQ(before, store.dump());
}

TEST(UndoJournal, AStepThatFailsDoesNotStopTheRest) {
    memory_key_store s;
    s.put_string("HKCU\\A", "v", "old");
    s.put_string("HKCU\\A\\Leaf", "w", "x");
    undo_journal journal(s);
    key_store::key a = 0;
    ASSERT_EQ(0, journal.open_key(journal.root("HKCU"), "A", key_store::access::all, &a));
    EXPECT_EQ(0, journal.delete_value(a, "v"));
    EXPECT_EQ(0, journal.delete_key(a, "Leaf"));
    journal.close_key(a);
    s.fail_write(1, 1013);  // the undo's first write: making Leaf again
    journal.undo();
    EXPECT_EQ("HKCU\\A\n  \"v\"=\"old\"\n", s.dump());
    expect_no_leaks(s, "undo");
}

TEST_F(Registrar, ClsidAndTypeLibAreNeverWipedWhole) {
    store.put_string("HKCR\\CLSID\\{other}", "", "Other");
    store.put_string("HKCU\\TypeLib\\{lib}", "", "Lib");
    const std::string before = store.dump();
    EXPECT_EQ(s_ok, run("HKCR { ForceRemove clsid } HKCU { ForceRemove TYPELIB }", mode::registration));
    EXPECT_EQ(before, store.dump());
    EXPECT_EQ(s_ok, run("HKCR { Delete CLSID } HKCU { Delete TypeLib }", mode::registration));
    EXPECT_EQ(before, store.dump());
    store.put_key("HKCR\\CLSID\\Mine");
    EXPECT_EQ(s_ok, run("HKCR { CLSID { Mine } } HKCU { typelib }", mode::unregistration));
    EXPECT_EQ(before, store.dump());
}

TEST_F(Registrar, DeleteRemovesTheKeyWhenRegistering) {
    store.put_key("HKCU\\Old\\Deeper");
    EXPECT_EQ(s_ok, run("HKCU { Delete Old { Deeper } }", mode::unregistration));
    EXPECT_TRUE(store.has_key("HKCU\\Old\\Deeper"));
    EXPECT_EQ(s_ok, run("HKCU { Delete Old { Deeper } }", mode::registration));
    EXPECT_EQ("", store.dump());
}

TEST_F(Registrar, GrammarTakesLongRootNamesAnyCaseAndDwords) {
    const std::string script =
        "hkey_current_user {\n"
        "  noremove Outer = S 'it''s' {\n"
        "    VAL Count = D 0x1F\n"
        "    'd' = d '42'\n"
        "    'has space' { }\n"
        "  }\n"
        "}\n"
        "HKLM { 'val' }";
    EXPECT_EQ(s_ok, run(script, mode::registration));
    EXPECT_EQ("HKCU\\Outer\n  @=\"it's\"\n  \"Count\"=dword:0000001f\nHKCU\\Outer\\d\n"
              "  @=dword:0000002a\nHKCU\\Outer\\has space\nHKLM\\val\n",
              store.dump());
    EXPECT_EQ(s_ok, run(script, mode::unregistration));
    EXPECT_EQ("HKCU\\Outer\n  @=\"it's\"\n", store.dump());
}

TEST(RegistrarVariables, AreReplacedBeforeParsing) {
    const std::string name31(31, 'v'), name32(32, 'w');
    const std::vector<variable> vars = {
        {"Module", "C:\\x.dll"}, {name31, "31"}, {name32, "32"}, {"Pct", "%Module%"}};
    const struct {
        std::string script;
        status expected;
        std::string stored;
    } cases[] = {
        {"HKCU { k = s '%MODULE%' }", s_ok, "\"C:\\x.dll\""},
        {"HKCU { k = s '100%%' }", s_ok, "\"100%\""},
        {"HKCU { k = s '%pct%' }", s_ok, "\"%Module%\""},
        {"HKCU { k = s '%" + name31 + "%' }", s_ok, "\"31\""},
        {"HKCU { k = s '%" + name32 + "%' }", e_fail, ""},
        {"HKCU { k = s '%Unknown%' }", disp_e_exception, ""},
        {"HKCU { k = s '%MODULE' }", disp_e_exception, ""},
    };
    for (const auto& c : cases) {
        memory_key_store s;
        EXPECT_EQ(c.expected, run_script(c.script, vars, mode::registration, s)) << c.script;
        EXPECT_EQ(c.stored, s.value("HKCU\\k", "")) << c.script;
        expect_no_leaks(s, c.script);
    }
}

TEST(RegistrarSyntax, MalformedScriptsChangeNothing) {
    const std::string bad[] = {
        "HKCU", "{ }", "HKXX { }", "HKCU{ k }", "HKCU { k", "HKCU { k } }", "HKCU { k = }",
        "HKCU { k = x 'y' }", "HKCU { k = s }", "HKCU { k = 's' 'y' }", "HKCU { val = s 'x' }",
        "HKCU { val v s 'x' }", "HKCU { val v = s }", "HKCU { NoRemove }",
        "HKCU { NoRemove ForceRemove k }", "HKCU { k = s 'open }", "HKCU { k = d 'x' }",
        "HKCU { k = d 4294967296 }", "HKCU { k = d 0x }", "HKCU { k = d -1 }", "HKCU { '' }",
        "HKCU { 'a\\b' }", std::string("HKCU { a\0b }", 12), "HKCU { k { } = s 'late' }",
    };
    for (mode m : {mode::registration, mode::unregistration}) {
        for (const std::string& b : bad) {
            memory_key_store s;
            s.put_key("HKCU\\first");
            // The valid block in front shows that nothing runs before the whole text parses.
            EXPECT_EQ(disp_e_exception, run_script("HKCU { Delete first } " + b, {}, m, s)) << b;
            EXPECT_EQ("HKCU\\first\n", s.dump()) << b;
            expect_no_leaks(s, b);
        }
    }
}

TEST(RegistrarSyntax, NestingIsCappedAt64Blocks) {
    auto nested = [](int blocks) {
        std::string s = "HKCU";
        for (int i = 0; i < blocks; ++i) s += " { k";
        for (int i = 0; i < blocks; ++i) s += " }";
        return s;
    };
    memory_key_store s;
    EXPECT_EQ(disp_e_exception, run_script(nested(65), {}, mode::registration, s));
    EXPECT_EQ(disp_e_exception, run_script(nested(100000), {}, mode::registration, s));
    EXPECT_EQ("", s.dump());
    EXPECT_EQ(s_ok, run_script(nested(64), {}, mode::registration, s));
    std::string deepest = "HKCU";
    for (int i = 0; i < 64; ++i) deepest += "\\k";
    EXPECT_TRUE(s.has_key(deepest));
    EXPECT_FALSE(s.has_key(deepest + "\\k"));
    EXPECT_EQ(s_ok, run_script(nested(64), {}, mode::unregistration, s));
    EXPECT_EQ("", s.dump());
    expect_no_leaks(s, "nesting");
}

}  // namespace
