#include "ui/resources.h"

#include <array>

#include "ui/icons/ovrin-update-16.xpm"
#include "ui/icons/ovrin-update-32.xpm"
#include "ui/resource.h"

namespace ui {
namespace {

using namespace framework;

constexpr const char* kDialogFace = "新細明體";

constexpr std::array<const char*, 16> kPortNames = {
    "COM01", "COM02", "COM03", "COM04", "COM05", "COM06", "COM07", "COM08",
    "COM09", "COM10", "COM11", "COM12", "COM13", "COM14", "COM15", "COM16",
};

constexpr DWORD kChild = WS_CHILD | WS_VISIBLE;

const IconResource kAppIcon{IDI_APP, "Ovrin Update", ovrin_update_32, ovrin_update_16};

const std::array<ControlTemplate, 9> kMainControls = {{
    {IDC_STATIC, kStaticClass, "Select File", 14, 42, 36, 8, kChild | SS_LEFT | WS_GROUP},
    {IDC_FILE_PATH, kEditClass, "", 55, 37, 176, 14,
     kChild | WS_BORDER | WS_TABSTOP | ES_AUTOHSCROLL},
    {IDC_BROWSE, kButtonClass, "Browse", 261, 38, 50, 14, kChild | BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_STATIC, kStaticClass, "COM PORT", 11, 18, 36, 8, kChild | SS_LEFT | WS_GROUP},
    {IDC_COM_PORT, kComboBoxClass, "", 56, 16, 48, 153,
     kChild | CBS_DROPDOWNLIST | WS_VSCROLL | WS_GROUP | WS_TABSTOP, 0, nullptr, kPortNames},
    {IDC_PROGRESS, kProgressClass, "Progress1", 12, 65, 216, 14, kChild | WS_BORDER},
    {IDC_UPDATE, kButtonClass, "Update", 264, 64, 48, 14, kChild | BS_PUSHBUTTON | WS_TABSTOP},
    {IDC_PERCENT, kStaticClass, "0", 234, 68, 8, 8, kChild | SS_LEFT | WS_GROUP, WS_EX_RIGHT},
    {IDC_STATIC, kStaticClass, "%", 246, 68, 8, 8, kChild | SS_LEFT | WS_GROUP},
}};

const DialogTemplate kMainDialog{
    IDD_MAIN,
    "Ovrin Controller Firmware Update AP V1.0.0.7",
    kDialogFace,
    10,
    326,
    94,
    WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    WS_EX_APPWINDOW,
    kMainControls,
};

const std::array<ControlTemplate, 4> kAboutControls = {{
    {IDC_STATIC, kStaticClass, "", 11, 17, 20, 20, kChild | SS_ICON, 0, &kAppIcon},
    {IDC_STATIC, kStaticClass, "Version 1.0", 40, 10, 119, 8,
     kChild | SS_LEFT | SS_NOPREFIX | WS_GROUP},
    {IDC_STATIC, kStaticClass, "Firmware update tool for Ovrin devices", 40, 25, 119, 8,
     kChild | SS_LEFT | WS_GROUP},
    {IDOK, kButtonClass, "OK", 178, 7, 50, 14, kChild | BS_DEFPUSHBUTTON | WS_GROUP | WS_TABSTOP},
}};

const DialogTemplate kAboutDialog{
    IDD_ABOUT,
    "About Ovrin Controller Firmware Update AP",
    kDialogFace,
    9,
    235,
    55,
    WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT,
    0,
    kAboutControls,
};

}  // namespace

const DialogTemplate& MainDialogTemplate() {
  return kMainDialog;
}
const DialogTemplate& AboutDialogTemplate() {
  return kAboutDialog;
}
const IconResource& AppIconResource() {
  return kAppIcon;
}

CString LoadResourceString(int id) {
  return id == IDS_ABOUT_MENU ? CString("About Mirelton(&A)...") : CString();
}

}  // namespace ui
