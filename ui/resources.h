// The updater's resources: the dialog templates, the system-menu string and the icon.
#pragma once

#include "platform/framework/dialog_template.h"
#include "platform/framework/types.h"

namespace ui {

const framework::DialogTemplate& MainDialogTemplate();   // IDD_MAIN
const framework::DialogTemplate& AboutDialogTemplate();  // IDD_ABOUT
const framework::IconResource& AppIconResource();        // IDI_APP
// The string table entry `id`, empty when there is none.
framework::CString LoadResourceString(int id);

}  // namespace ui
