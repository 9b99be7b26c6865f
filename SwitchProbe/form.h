// The console's one window, Form1: its controls' identifiers, shared with the tests that
// drive the window from outside.
#pragma once

namespace switchprobe {

enum control_id : int {
    id_txt_sw = 101,
    id_chk_on = 102,
    id_cmd_go = 1,  // IDOK, so that Enter presses Go
    id_cbo_comm = 104,
    id_txt_clock_rate = 105,
    id_label_clock = 106,
    id_standby_duration = 107,
    id_reset_duration = 108,
    id_label_standby = 109,
    id_label_reset = 110,
};

inline constexpr wchar_t window_class[] = L"SwitchProbeForm1";
inline constexpr wchar_t window_title[] = L"Form1";
inline constexpr wchar_t program_title[] = L"SwitchProbe";

}  // namespace switchprobe
