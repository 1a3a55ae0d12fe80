// The open-file dialog: every file listed (no filter), the chosen file's full path afterwards.
#pragma once

#include "platform/framework/types.h"

namespace framework {

class CWnd;

class CFileDialog {
 public:
  // Only the open mode is offered; the default extension, initial name and filter are unused
  // here (the system's defaults stand) and must be null.
  CFileDialog(BOOL openFileDialog, const char* defaultExtension = nullptr,
              const char* fileName = nullptr, DWORD flags = OFN_HIDEREADONLY,
              const char* filter = nullptr, CWnd* parent = nullptr);
  // IDOK once a file is chosen, IDCANCEL otherwise. The parent is disabled meanwhile.
  INT_PTR DoModal();
  CString GetPathName() const { return pathName_; }

 private:
  CWnd* parent_;
  CString pathName_;
};

}  // namespace framework
