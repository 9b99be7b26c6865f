// SwitchProbe: one window to send one X10 command at a time through CommAds.
#include "form.h"
#include "number_text.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <VantrelCtrl.h>

#include <new>
#include <string>

namespace switchprobe {
namespace {

constexpr int twips_per_pixel = 15;

struct control_spec {
    int id;
    const wchar_t* window_class;
    const wchar_t* text;
    int left, top, width, height;  // twips
    DWORD style;
};

// In tab order: creation order is the tab and z order, so each text box lies above the label
// that it overlaps.
const control_spec controls[] = {
    {id_txt_sw, L"EDIT", L"E1", 120, 120, 375, 285, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL},
    {id_chk_on, L"BUTTON", L"On", 720, 120, 615, 255, WS_TABSTOP | BS_AUTOCHECKBOX},
    {id_cmd_go, L"BUTTON", L"Go", 1560, 120, 855, 375, WS_TABSTOP | BS_DEFPUSHBUTTON},
    {id_cbo_comm, L"COMBOBOX", L"", 120, 480, 975, 315,
     WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWN | CBS_AUTOHSCROLL},
    {id_txt_clock_rate, L"EDIT", L"1", 600, 840, 495, 285, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL},
    {id_label_clock, L"STATIC", L"Clock", 120, 840, 615, 255, SS_LEFT},
    {id_standby_duration, L"EDIT", L"100", 1920, 840, 495, 285,
     WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL},
    {id_reset_duration, L"EDIT", L"10", 600, 1080, 495, 285, WS_TABSTOP | WS_BORDER | ES_AUTOHSCROLL},
    {id_label_standby, L"STATIC", L"Standby", 1200, 840, 615, 255, SS_LEFT},
    {id_label_reset, L"STATIC", L"Reset", 120, 1080, 615, 255, SS_LEFT},
};

constexpr int client_width = 2415, client_height = 1395;
constexpr int combo_list_height = 4 * 315;  // room for the two items when dropped down

// The error trap of a handler: a failing step throws one, the handler shows its description.
struct trapped {
    std::wstring description;
};

// An owned ICommAds; the handler's object.
class comm_ads {
public:
    comm_ads() = default;
    comm_ads(const comm_ads&) = delete;
    comm_ads& operator=(const comm_ads&) = delete;
    ~comm_ads() {
        if (p_) p_->Release();
    }
    void create() {
        const HRESULT hr = CoCreateInstance(CLSID_CommAds, nullptr, CLSCTX_INPROC_SERVER,
                                            IID_ICommAds, reinterpret_cast<void**>(&p_));
        if (FAILED(hr)) throw trapped{L"Unable to create the CommAds object"};
    }
    ICommAds* operator->() const { return p_; }
    ICommAds* get() const { return p_; }

private:
    ICommAds* p_ = nullptr;
};

class bstr {
public:
    explicit bstr(const std::wstring& text)
        : s_(SysAllocStringLen(text.data(), static_cast<UINT>(text.size()))) {
        if (!s_) throw std::bad_alloc();
    }
    bstr(const bstr&) = delete;
    bstr& operator=(const bstr&) = delete;
    ~bstr() { SysFreeString(s_); }
    BSTR get() const { return s_; }

private:
    BSTR s_;
};

// The message that the object published for its failure, or the system's text for status.
std::wstring failure_description(ICommAds* object, HRESULT status) {
    ISupportErrorInfo* support = nullptr;
    bool supported = false;
    if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support)))) {
        supported = support->InterfaceSupportsErrorInfo(IID_ICommAds) == S_OK;
        support->Release();
    }
    IErrorInfo* info = nullptr;
    std::wstring text;
    if (GetErrorInfo(0, &info) == S_OK && info) {
        BSTR description = nullptr;
        if (supported && SUCCEEDED(info->GetDescription(&description)) && description) {
            text.assign(description, SysStringLen(description));
        }
        SysFreeString(description);
        info->Release();
    }
    if (!text.empty()) return text;
    wchar_t* system_text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, static_cast<DWORD>(status), 0, reinterpret_cast<wchar_t*>(&system_text),
                   0, nullptr);
    if (system_text) {
        text = system_text;
        LocalFree(system_text);
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    }
    if (text.empty()) {
        wchar_t code[32];
        wsprintfW(code, L"Error 0x%08lX", static_cast<unsigned long>(status));
        text = code;
    }
    return text;
}

void check(const comm_ads& object, HRESULT status) {
    if (FAILED(status)) throw trapped{failure_description(object.get(), status)};
}

std::wstring text_of(HWND window, int id) {
    HWND control = GetDlgItem(window, id);
    const int length = GetWindowTextLengthW(control);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int read = GetWindowTextW(control, &text[0], static_cast<int>(text.size()));
    if (read == 0 && length > 0) throw trapped{L"A field of the window cannot be read"};
    text.resize(static_cast<std::size_t>(read));
    return text;
}

void show_number(HWND window, int id, LONG value) {
    if (!SetDlgItemTextW(window, id, std::to_wstring(value).c_str())) {
        throw trapped{L"A field of the window cannot be written"};
    }
}

LONG number_of(HWND window, int id, const wchar_t* label) {
    std::int32_t value = 0;
    if (!parse_int32(text_of(window, id), &value)) {
        throw trapped{std::wstring(label) + L" is not a whole number"};
    }
    return value;
}

// Runs body with the handler's object; an error shows its description, then the object goes.
template <class Body>
void run_handler(HWND window, Body body) {
    comm_ads object;
    std::wstring error;
    try {
        body(object);
        return;
    } catch (const trapped& t) {
        error = t.description;
    } catch (const std::bad_alloc&) {
        error = L"Out of memory";
    }
    MessageBoxW(window, error.c_str(), program_title, MB_OK);
}

void on_load(HWND window) {
    run_handler(window, [&](comm_ads& object) {
        object.create();
        LONG value = 0;
        check(object, object->get_ClockRate(&value));
        show_number(window, id_txt_clock_rate, value);
        check(object, object->get_StandByDuration(&value));
        show_number(window, id_standby_duration, value);
        check(object, object->get_ResetDuration(&value));
        show_number(window, id_reset_duration, value);
    });
}

void on_go(HWND window) {
    run_handler(window, [&](comm_ads& object) {
        object.create();
        check(object, object->put_PortName(bstr(text_of(window, id_cbo_comm)).get()));
        check(object, object->put_ClockRate(number_of(window, id_txt_clock_rate, L"Clock")));
        check(object, object->put_StandByDuration(number_of(window, id_standby_duration, L"Standby")));
        check(object, object->put_ResetDuration(number_of(window, id_reset_duration, L"Reset")));
        const LONG state = static_cast<LONG>(SendDlgItemMessageW(window, id_chk_on, BM_GETCHECK, 0, 0));
        check(object, object->put_On(bstr(text_of(window, id_txt_sw)).get(), state));
    });
}

// False when a control or a combo-box item cannot be made: the window would be missing it.
bool create_controls(HWND window, HINSTANCE instance) {
    HFONT font = static_cast<HFONT>(GetStockObject(DEFAULT_GUI_FONT));
    for (const control_spec& c : controls) {
        const int height = c.id == id_cbo_comm ? c.height + combo_list_height : c.height;
        // Clipped against the controls above them, so that a label repainting never covers
        // the part of a text box that lies over it.
        HWND control = CreateWindowExW(
            0, c.window_class, c.text, WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | c.style, c.left / twips_per_pixel,
            c.top / twips_per_pixel, c.width / twips_per_pixel, height / twips_per_pixel, window,
            reinterpret_cast<HMENU>(static_cast<INT_PTR>(c.id)), instance, nullptr);
        if (!control) return false;
        SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    }
    HWND combo = GetDlgItem(window, id_cbo_comm);
    for (const wchar_t* item : {L"COM1:", L"COM2:"}) {
        if (SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item)) < 0) return false;
    }
    if (!SetWindowTextW(combo, L"COM1:")) return false;
    // The closed combo box is as tall as the design says, whatever the font.
    RECT r;
    const int wanted = 315 / twips_per_pixel;
    const LRESULT item = SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0);
    if (item > 0 && GetWindowRect(combo, &r) && r.bottom - r.top != wanted) {
        SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), item + wanted - (r.bottom - r.top));
    }
    return true;
}

LRESULT CALLBACK window_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    // The control that had the focus when the window was last deactivated gets it back.
    static HWND last_focus = nullptr;
    switch (message) {
        case WM_ACTIVATE:
            if (LOWORD(wparam) == WA_INACTIVE) {
                HWND focus = GetFocus();
                if (focus && IsChild(window, focus)) last_focus = focus;
            } else {
                SetFocus(last_focus ? last_focus : GetDlgItem(window, id_txt_sw));
            }
            return 0;
        case WM_COMMAND:
            if (LOWORD(wparam) == id_cmd_go && HIWORD(wparam) == BN_CLICKED) {
                on_go(window);
                return 0;
            }
            break;
        case WM_DESTROY:
            PostQuitMessage(0);
            return 0;
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace
}  // namespace switchprobe

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, LPWSTR, int show) {
    using namespace switchprobe;
    if (FAILED(CoInitialize(nullptr))) return 1;

    WNDCLASSW wc{};
    wc.lpfnWndProc = window_proc;
    wc.hInstance = instance;
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = window_class;
    if (!RegisterClassW(&wc)) return 1;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX | WS_CLIPCHILDREN;
    RECT frame = {0, 0, client_width / twips_per_pixel, client_height / twips_per_pixel};
    AdjustWindowRectEx(&frame, style, FALSE, WS_EX_CONTROLPARENT);
    HWND window = CreateWindowExW(WS_EX_CONTROLPARENT, window_class, window_title, style,
                                  CW_USEDEFAULT, CW_USEDEFAULT, frame.right - frame.left,
                                  frame.bottom - frame.top, nullptr, nullptr, instance, nullptr);
    if (!window || !create_controls(window, instance)) return 1;
    on_load(window);
    ShowWindow(window, show);
    UpdateWindow(window);
    SetFocus(GetDlgItem(window, id_txt_sw));

    MSG msg;
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        if (IsDialogMessageW(window, &msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    CoUninitialize();
    // A failed GetMessage leaves no quit code behind: that run did not end well.
    return got < 0 ? 1 : static_cast<int>(msg.wParam);
}
