// Resource and control identifiers of the updater.
#pragma once

namespace ui {

inline constexpr int IDD_ABOUT = 100;
inline constexpr int IDS_ABOUT_MENU = 101;
inline constexpr int IDD_MAIN = 102;
inline constexpr int IDI_APP = 128;

inline constexpr int IDC_FILE_PATH = 1021;
inline constexpr int IDC_BROWSE = 1023;
inline constexpr int IDC_COM_PORT = 1024;
inline constexpr int IDC_PROGRESS = 1025;
inline constexpr int IDC_UPDATE = 1026;
inline constexpr int IDC_PERCENT = 1027;

// The About item of the system menu.
inline constexpr unsigned ID_SYS_ABOUT = 16;
// The one-second progress timer.
inline constexpr unsigned TIMER_PROGRESS = 10;

}  // namespace ui
