#include "ui/updater_app.h"

#include "ui/updater_dialog.h"

namespace ui {

framework::BOOL CUpdaterApp::InitInstance() {
  CUpdaterDialog dialog;
  m_pMainWnd = &dialog;
  dialog.DoModal();
  return framework::FALSE;
}

int RunUpdaterApp(int argc, char** argv, win::PortResolver resolver) {
  win::SetPortResolver(std::move(resolver));
  return framework::AfxWinMain(argc, argv);
}

}  // namespace ui
