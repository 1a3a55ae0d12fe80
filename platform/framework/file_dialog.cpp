#include "platform/framework/file_dialog.h"

#include <QFileDialog>
#include <QFileInfo>

#include "platform/framework/wnd.h"

namespace framework {

CFileDialog::CFileDialog(BOOL /*openFileDialog*/, const char* /*defaultExtension*/,
                         const char* /*fileName*/, DWORD /*flags*/, const char* /*filter*/,
                         CWnd* parent)
    : parent_(parent) {}

INT_PTR CFileDialog::DoModal() {
  // Qt's own dialog on every desktop, so that it behaves, and can be driven, the same everywhere.
  QFileDialog dialog(parent_ != nullptr ? parent_->GetSafeWidget() : nullptr);
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setOption(QFileDialog::ReadOnly);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::ExistingFile);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return IDCANCEL;
  pathName_ = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath().toStdString();
  return IDOK;
}

}  // namespace framework
