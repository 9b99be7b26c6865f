// SwitchProbe driven from outside, as a person would: find its window, type into its boxes,
// tick, click Go, read and close the message box. Runs under Xvfb; with the library
// registered and COM5 on the virtual CM17A (or, for Unregistered.*, in a prefix without it).
#include "form.h"
#include "test_support.h"
#include "trace_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

using namespace switchprobe;
using test::exe_dir;
using test::narrow;

namespace {

std::wstring text_of(HWND window) {
    wchar_t buffer[512] = {};
    SendMessageW(window, WM_GETTEXT, 512, reinterpret_cast<LPARAM>(buffer));
    return buffer;
}

template <class F>
bool wait_until(F done, DWORD ms = 20000) {
    for (DWORD waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        Sleep(10);
    }
    return done();
}

struct message_box {
    HWND window = nullptr;
    std::wstring text;
    bool icon = false;
    int buttons = 0;
};

BOOL CALLBACK collect_box_child(HWND child, LPARAM p) {
    auto* b = reinterpret_cast<message_box*>(p);
    wchar_t cls[32] = {};
    GetClassNameW(child, cls, 32);
    const LONG style = GetWindowLongW(child, GWL_STYLE);
    if (_wcsicmp(cls, L"Button") == 0 && (style & WS_VISIBLE)) ++b->buttons;
    if (_wcsicmp(cls, L"Static") != 0) return TRUE;
    if ((style & SS_TYPEMASK) == SS_ICON) {
        // Wine keeps an empty icon control; only a shown icon counts.
        if ((style & WS_VISIBLE) && SendMessageW(child, STM_GETICON, 0, 0)) b->icon = true;
    } else if (b->text.empty()) {
        b->text = text_of(child);
    }
    return TRUE;
}

// The console's message box, if one is up.
message_box find_message_box() {
    message_box box;
    box.window = FindWindowW(L"#32770", program_title);
    if (!box.window || !IsWindowVisible(box.window)) return {};
    EnumChildWindows(box.window, collect_box_child, reinterpret_cast<LPARAM>(&box));
    return box;
}

message_box wait_for_message_box() {
    message_box box;
    wait_until([&] { return (box = find_message_box()).window != nullptr; });
    return box;
}

void close_message_box(const message_box& box) {
    PostMessageW(box.window, WM_COMMAND, IDOK, 0);
    wait_until([&] { return !IsWindow(box.window) || !IsWindowVisible(box.window); });
}

// Writes an RGB image as a PNG with stored (uncompressed) deflate blocks.
void write_png(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb) {
    auto crc = [](const uint8_t* p, std::size_t n, uint32_t c = 0xFFFFFFFFu) {
        for (std::size_t i = 0; i < n; ++i) {
            c ^= p[i];
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        }
        return c;
    };
    auto be32 = [](std::vector<uint8_t>& v, uint32_t x) {
        for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
    };
    std::vector<uint8_t> raw;
    for (int y = 0; y < height; ++y) {
        raw.push_back(0);
        raw.insert(raw.end(), rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3);
    }
    std::vector<uint8_t> z = {0x78, 0x01};
    uint32_t a = 1, b = 0;
    for (uint8_t c : raw) a = (a + c) % 65521, b = (b + a) % 65521;
    for (std::size_t at = 0; at < raw.size() || at == 0; at += 65535) {
        const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
        z.push_back(at + n >= raw.size() ? 1 : 0);
        z.push_back(n & 0xFF), z.push_back(n >> 8), z.push_back(~n & 0xFF), z.push_back((~n >> 8) & 0xFF);
        z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
        if (at + n >= raw.size()) break;
    }
    be32(z, (b << 16) | a);
    std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    auto chunk = [&](const char* type, const std::vector<uint8_t>& data) {
        be32(png, static_cast<uint32_t>(data.size()));
        std::vector<uint8_t> body(type, type + 4);
        body.insert(body.end(), data.begin(), data.end());
        png.insert(png.end(), body.begin(), body.end());
        be32(png, ~crc(body.data(), body.size()));
    };
    std::vector<uint8_t> header;
    be32(header, static_cast<uint32_t>(width));
    be32(header, static_cast<uint32_t>(height));
    header.insert(header.end(), {8, 2, 0, 0, 0});
    chunk("IHDR", header);
    chunk("IDAT", z);
    chunk("IEND", {});
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(png.data()),
                                                 static_cast<std::streamsize>(png.size()));
}

// What the display shows inside r (screen coordinates), as rows of RGB triples.
std::vector<uint8_t> screen_pixels(const RECT& r) {
    const int w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    GdiFlush();
    std::vector<uint8_t> rgb;
    const auto* px = static_cast<const uint8_t*>(bits);
    for (int i = 0; i < w * h; ++i) rgb.insert(rgb.end(), {px[4 * i + 2], px[4 * i + 1], px[4 * i]});
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return rgb;
}

void screenshot(HWND window, const std::string& path) {
    RECT r;
    GetWindowRect(window, &r);
    write_png(path, r.right - r.left, r.bottom - r.top, screen_pixels(r));
}

// One run of SwitchProbe.exe, closed again at the end of the test.
class probe {
public:
    probe() {
        std::string command = "\"" + exe_dir() + "SwitchProbe.exe\"";
        STARTUPINFOA si{};
        si.cb = sizeof si;
        started_ = CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr,
                                  nullptr, &si, &process_) != 0;
    }
    ~probe() {
        if (!started_) return;
        if (HWND f = form()) PostMessageW(f, WM_CLOSE, 0, 0);
        if (WaitForSingleObject(process_.hProcess, 10000) != WAIT_OBJECT_0) {
            TerminateProcess(process_.hProcess, 1);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
    probe(const probe&) = delete;
    probe& operator=(const probe&) = delete;

    bool started() const { return started_; }
    HWND form() const { return FindWindowW(window_class, window_title); }
    bool wait_shown() const {
        return wait_until([&] { return form() && IsWindowVisible(form()); });
    }
    HWND control(int id) const { return GetDlgItem(form(), id); }
    std::wstring text(int id) const { return text_of(control(id)); }
    void set_text(int id, const wchar_t* text) const {
        SendMessageW(control(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text));
    }
    void set_on(bool on) const {
        SendMessageW(control(id_chk_on), BM_SETCHECK, on ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    void click_go() const {
        PostMessageW(form(), WM_COMMAND, MAKEWPARAM(id_cmd_go, BN_CLICKED),
                     reinterpret_cast<LPARAM>(control(id_cmd_go)));
    }
    HWND focus() const {
        GUITHREADINFO info{};
        info.cbSize = sizeof info;
        GetGUIThreadInfo(process_.dwThreadId, &info);
        return info.hwndFocus;
    }

private:
    PROCESS_INFORMATION process_{};
    bool started_ = false;
};

struct layout_row {
    int id;
    const wchar_t* window_class;
    const wchar_t* text;
    int left, top, width, height;  // pixels
};

// The form's layout in twips, written out here in pixels (15 twips to a pixel), so that the
// program's own table and conversion are checked rather than repeated.
const layout_row layout[] = {
    {id_txt_sw, L"Edit", L"E1", 8, 8, 25, 19},
    {id_chk_on, L"Button", L"On", 48, 8, 41, 17},
    {id_cmd_go, L"Button", L"Go", 104, 8, 57, 25},
    {id_cbo_comm, L"ComboBox", L"COM1:", 8, 32, 65, 21},
    {id_txt_clock_rate, L"Edit", nullptr, 40, 56, 33, 19},
    {id_label_clock, L"Static", L"Clock", 8, 56, 41, 17},
    {id_standby_duration, L"Edit", nullptr, 128, 56, 33, 19},
    {id_reset_duration, L"Edit", nullptr, 40, 72, 33, 19},
    {id_label_standby, L"Static", L"Standby", 80, 56, 41, 17},
    {id_label_reset, L"Static", L"Reset", 8, 72, 41, 17},
};

class Console : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(app_.started());
        ASSERT_TRUE(app_.wait_shown()) << "no window; message box: " << narrow(find_message_box().text);
    }

    // Presses Go and waits for the send to end: a message box, or the port closed again.
    message_box go() {
        test::trace_mark before;
        mark_ = before;
        app_.click_go();
        message_box box;
        wait_until([&] {
            box = find_message_box();
            if (box.window) return true;
            const auto events = before.events();
            return !events.empty() && events.back().kind == "CLOSE";
        });
        return box;
    }
    std::vector<cm17a::session> sent() const { return mark_.sessions(); }

    probe app_;
    test::trace_mark mark_;
};

}  // namespace

// (The controls' font is not checked from here: Wine answers WM_GETFONT from another process
// with no font, though the program sets the default GUI font on every control.)
TEST_F(Console, LayoutAndTexts) {
    HWND form = app_.form();
    RECT client;
    GetClientRect(form, &client);
    EXPECT_EQ(161, client.right);
    EXPECT_EQ(93, client.bottom);
    EXPECT_EQ(L"Form1", text_of(form));
    for (const layout_row& row : layout) {
        HWND c = app_.control(row.id);
        ASSERT_NE(nullptr, c) << "control " << row.id;
        const std::string name = "control " + std::to_string(row.id);
        wchar_t cls[32] = {};
        GetClassNameW(c, cls, 32);
        EXPECT_EQ(0, _wcsicmp(row.window_class, cls)) << name << " is a " << narrow(cls);
        RECT r;
        GetWindowRect(c, &r);
        MapWindowPoints(nullptr, form, reinterpret_cast<POINT*>(&r), 2);
        EXPECT_EQ(row.left, r.left) << name;
        EXPECT_EQ(row.top, r.top) << name;
        EXPECT_EQ(row.width, r.right - r.left) << name;
        EXPECT_EQ(row.height, r.bottom - r.top) << name;
        if (row.text) {
            EXPECT_EQ(row.text, text_of(c)) << name;
        }
    }
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(app_.control(id_chk_on), BM_GETCHECK, 0, 0));

    HWND combo = app_.control(id_cbo_comm);
    ASSERT_EQ(2, SendMessageW(combo, CB_GETCOUNT, 0, 0));
    for (int i = 0; i < 2; ++i) {
        wchar_t item[32] = {};
        SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(item));
        EXPECT_EQ(i == 0 ? L"COM1:" : L"COM2:", std::wstring(item)) << "item " << i;
    }
    EXPECT_EQ(CBS_DROPDOWN, GetWindowLongW(combo, GWL_STYLE) & 3) << "a drop-down with an edit field";
}

TEST_F(Console, LabelsLieUnderTheTextBoxesTheyOverlap) {
    const COLORREF form = GetSysColor(COLOR_BTNFACE);
    for (const auto& pair : {std::pair(id_label_clock, id_txt_clock_rate),
                             std::pair(id_label_reset, id_reset_duration)}) {
        HWND box = app_.control(pair.second);
        RECT label, inside, shared;
        GetWindowRect(app_.control(pair.first), &label);
        GetClientRect(box, &inside);
        MapWindowPoints(box, nullptr, reinterpret_cast<POINT*>(&inside), 2);
        ASSERT_TRUE(IntersectRect(&shared, &label, &inside)) << "control " << pair.first;
        InvalidateRect(app_.control(pair.first), nullptr, TRUE);
        UpdateWindow(app_.control(pair.first));
        const std::vector<uint8_t> rgb = screen_pixels(shared);
        int background = 0;
        for (std::size_t i = 0; i + 2 < rgb.size(); i += 3) {
            background += RGB(rgb[i], rgb[i + 1], rgb[i + 2]) == form;
        }
        EXPECT_EQ(0, background) << "of " << rgb.size() / 3 << " pixels of text box "
                                 << pair.second << " show the form under its label";
    }
}

TEST_F(Console, TheLoadShowsANewObjectsTimings) {
    EXPECT_EQ(L"10", app_.text(id_txt_clock_rate));
    EXPECT_EQ(L"200", app_.text(id_standby_duration));
    EXPECT_EQ(L"10", app_.text(id_reset_duration));
    EXPECT_EQ(nullptr, find_message_box().window);
}

TEST_F(Console, FocusStartsOnTheSwitchAndTabFollowsTheTabOrder) {
    // The window takes the focus once it is activated, which follows the show.
    wait_until([&] { return app_.focus() != nullptr; }, 5000);
    EXPECT_EQ(app_.control(id_txt_sw), app_.focus());
    const int order[] = {id_chk_on, id_cmd_go, id_cbo_comm, id_txt_clock_rate,
                         id_standby_duration, id_reset_duration, id_txt_sw};
    for (int id : order) {
        PostMessageW(app_.focus(), WM_KEYDOWN, VK_TAB, 0);
        PostMessageW(app_.focus(), WM_KEYUP, VK_TAB, 0);
        HWND expected = app_.control(id);
        // The combo box's focus sits in its edit field.
        wait_until([&] { return app_.focus() == expected || GetParent(app_.focus()) == expected; }, 2000);
        HWND now = app_.focus();
        EXPECT_TRUE(now == expected || GetParent(now) == expected) << "expected control " << id;
    }
    // Text boxes lie above the labels they overlap.
    int clock_box = 0, clock_label = 0, position = 0;
    for (HWND c = GetWindow(app_.form(), GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT), ++position) {
        if (c == app_.control(id_txt_clock_rate)) clock_box = position;
        if (c == app_.control(id_label_clock)) clock_label = position;
    }
    EXPECT_LT(clock_box, clock_label);
}

TEST_F(Console, TheCheckBoxTogglesBetweenClearAndTicked) {
    HWND check = app_.control(id_chk_on);
    SendMessageW(check, BM_CLICK, 0, 0);
    EXPECT_EQ(BST_CHECKED, SendMessageW(check, BM_GETCHECK, 0, 0));
    SendMessageW(check, BM_CLICK, 0, 0);
    EXPECT_EQ(BST_UNCHECKED, SendMessageW(check, BM_GETCHECK, 0, 0));
}

TEST_F(Console, GoSendsTheSwitchOnAndOff) {
    app_.set_text(id_cbo_comm, L"COM5");
    app_.set_text(id_txt_clock_rate, L"0");
    app_.set_text(id_reset_duration, L"0");
    app_.set_text(id_standby_duration, L"0");
    const struct {
        const wchar_t* id;
        bool on;
        const char* received;
    } clicks[] = {{L"E1", true, "E1ON"}, {L"E1", false, "E1OFF"}, {L"e1", true, "E1ON"},
                  {L"p16", false, "P16OFF"}};
    for (const auto& c : clicks) {
        app_.set_text(id_txt_sw, c.id);
        app_.set_on(c.on);
        const message_box box = go();
        EXPECT_EQ(nullptr, box.window) << narrow(box.text);
        if (box.window) close_message_box(box);
        const auto sessions = sent();
        ASSERT_EQ(1u, sessions.size()) << c.received;
        EXPECT_EQ(c.received, sessions[0].name);
        EXPECT_TRUE(sessions[0].closed);
    }
    screenshot(app_.form(), VANTREL_ARTIFACTS "/switchprobe.png");
}

TEST_F(Console, ErrorsShowTheirMessageAndSendNothing) {
    app_.set_text(id_cbo_comm, L"COM5");
    const struct {
        int box;
        const wchar_t* text;
        const wchar_t* switch_id;
        const char* message;
    } cases[] = {
        {id_txt_clock_rate, L"", L"E1", "Clock is not a whole number"},
        {id_txt_clock_rate, L"ten", L"E1", "Clock is not a whole number"},
        {id_standby_duration, L"2147483648", L"E1", "Standby is not a whole number"},
        {id_reset_duration, L"1.5", L"E1", "Reset is not a whole number"},
        {id_txt_clock_rate, L"0", L"Q7", "can't find switch [Q7]"},
    };
    for (const auto& c : cases) {
        for (int id : {id_txt_clock_rate, id_standby_duration, id_reset_duration}) {
            app_.set_text(id, L"0");
        }
        app_.set_text(c.box, c.text);
        app_.set_text(id_txt_sw, c.switch_id);
        const message_box box = go();
        ASSERT_NE(nullptr, box.window) << c.message;
        EXPECT_EQ(c.message, narrow(box.text));
        EXPECT_FALSE(box.icon) << c.message;
        EXPECT_EQ(1, box.buttons) << c.message;
        close_message_box(box);
        EXPECT_TRUE(sent().empty()) << c.message << ": something reached the port";
    }
    app_.set_text(id_cbo_comm, L"COM8");
    app_.set_text(id_txt_sw, L"E1");
    const message_box box = go();
    ASSERT_NE(nullptr, box.window);
    EXPECT_EQ("Unable to open the port", narrow(box.text));
    close_message_box(box);
}

// Run in a prefix where the library is not registered.
TEST(Unregistered, EveryHandlerReportsTheCreationFailure) {
    probe app;
    ASSERT_TRUE(app.started());
    message_box box = wait_for_message_box();
    ASSERT_NE(nullptr, box.window) << "the load handler shows the failure";
    EXPECT_EQ("Unable to create the CommAds object", narrow(box.text));
    EXPECT_FALSE(app.form() && IsWindowVisible(app.form())) << "before the window is shown";
    close_message_box(box);
    ASSERT_TRUE(app.wait_shown());
    EXPECT_EQ(L"1", app.text(id_txt_clock_rate));
    EXPECT_EQ(L"100", app.text(id_standby_duration));
    EXPECT_EQ(L"10", app.text(id_reset_duration));
    for (int click = 0; click < 2; ++click) {
        app.click_go();
        box = wait_for_message_box();
        ASSERT_NE(nullptr, box.window) << "click " << click;
        EXPECT_EQ("Unable to create the CommAds object", narrow(box.text));
        close_message_box(box);
    }
}
