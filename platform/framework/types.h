// The window-system vocabulary that the dialogs are written in: message numbers, command and
// style bits, geometry records. The values are those the dialog templates and handlers name;
// behind them is Qt Widgets.
#pragma once

#include <cstdint>
#include <string>

#include "platform/win32_types.h"

namespace framework {

using win::BOOL;
using win::DWORD;
using win::FALSE;
using win::TRUE;
using UINT = std::uint32_t;
using UINT_PTR = std::uintptr_t;
using WPARAM = std::uintptr_t;
using LPARAM = std::intptr_t;
using LRESULT = std::intptr_t;
using INT_PTR = std::intptr_t;
using CString = std::string;

// Messages.
inline constexpr UINT WM_DESTROY = 0x0002;
inline constexpr UINT WM_PAINT = 0x000F;
inline constexpr UINT WM_CLOSE = 0x0010;
inline constexpr UINT WM_ICONERASEBKGND = 0x0027;
inline constexpr UINT WM_QUERYDRAGICON = 0x0037;
inline constexpr UINT WM_SETICON = 0x0080;
inline constexpr UINT WM_INITDIALOG = 0x0110;
inline constexpr UINT WM_COMMAND = 0x0111;
inline constexpr UINT WM_SYSCOMMAND = 0x0112;
inline constexpr UINT WM_TIMER = 0x0113;

// Notification codes carried in the high word of a WM_COMMAND's wParam.
inline constexpr UINT BN_CLICKED = 0;

inline constexpr WPARAM MakeCommandParam(int controlId, UINT notifyCode) {
  return (static_cast<WPARAM>(notifyCode) << 16) | (static_cast<WPARAM>(controlId) & 0xFFFF);
}

// Dialog results and commands.
inline constexpr int IDOK = 1;
inline constexpr int IDCANCEL = 2;
inline constexpr int IDC_STATIC = -1;

// System commands.
inline constexpr UINT SC_MOVE = 0xF010;
inline constexpr UINT SC_CLOSE = 0xF060;

// Menu item flags.
inline constexpr UINT MF_STRING = 0x0000;
inline constexpr UINT MF_SEPARATOR = 0x0800;

// Message box types.
inline constexpr UINT MB_OK = 0x0000;

// Open-file dialog flags.
inline constexpr DWORD OFN_HIDEREADONLY = 0x00000004;

// WM_SETICON sizes.
inline constexpr WPARAM ICON_SMALL = 0;
inline constexpr WPARAM ICON_BIG = 1;

// System metrics.
inline constexpr int SM_CXICON = 11;
inline constexpr int SM_CYICON = 12;
int GetSystemMetrics(int index);

// Window styles.
inline constexpr DWORD WS_POPUP = 0x80000000;
inline constexpr DWORD WS_CHILD = 0x40000000;
inline constexpr DWORD WS_VISIBLE = 0x10000000;
inline constexpr DWORD WS_DISABLED = 0x08000000;
inline constexpr DWORD WS_CAPTION = 0x00C00000;
inline constexpr DWORD WS_BORDER = 0x00800000;
inline constexpr DWORD WS_VSCROLL = 0x00200000;
inline constexpr DWORD WS_SYSMENU = 0x00080000;
inline constexpr DWORD WS_GROUP = 0x00020000;
inline constexpr DWORD WS_TABSTOP = 0x00010000;
inline constexpr DWORD WS_EX_RIGHT = 0x00001000;
inline constexpr DWORD WS_EX_APPWINDOW = 0x00040000;
inline constexpr DWORD DS_SETFONT = 0x0040;
inline constexpr DWORD DS_MODALFRAME = 0x0080;
inline constexpr DWORD SS_LEFT = 0x0000;
inline constexpr DWORD SS_ICON = 0x0003;
inline constexpr DWORD SS_NOPREFIX = 0x0080;
inline constexpr DWORD SS_TYPEMASK = 0x001F;
inline constexpr DWORD BS_PUSHBUTTON = 0x0000;
inline constexpr DWORD BS_DEFPUSHBUTTON = 0x0001;
inline constexpr DWORD ES_AUTOHSCROLL = 0x0080;
inline constexpr DWORD CBS_DROPDOWNLIST = 0x0003;

inline constexpr int CB_ERR = -1;

struct CPoint {
  int x = 0;
  int y = 0;
};

struct CRect {
  int left = 0;
  int top = 0;
  int right = 0;
  int bottom = 0;
  int Width() const { return right - left; }
  int Height() const { return bottom - top; }
};

}  // namespace framework
