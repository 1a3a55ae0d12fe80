#include "ui/about_dialog.h"

#include "ui/resources.h"

namespace ui {

CAboutDialog::CAboutDialog() : CDialog(AboutDialogTemplate()) {}

}  // namespace ui
