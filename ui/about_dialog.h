// The About box: the program's name and version, opened from the system menu.
#pragma once

#include "platform/framework/dialog.h"

namespace ui {

class CAboutDialog : public framework::CDialog {
 public:
  CAboutDialog();
  ~CAboutDialog() override = default;

 protected:
  void DoDataExchange(framework::CDataExchange* /*dx: nothing to exchange*/) override {}
};

}  // namespace ui
