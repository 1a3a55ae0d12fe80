// The application object: one per process, registered when it is constructed. Its title, the
// caption of every message box, is the executable's file name without its extension.
#pragma once

#include "platform/framework/types.h"

namespace framework {

class CWnd;

class CWinApp {
 public:
  CWinApp();
  CWinApp(const CWinApp&) = delete;
  CWinApp& operator=(const CWinApp&) = delete;
  virtual ~CWinApp();

  // Runs the program's interactive life; FALSE ends the application.
  virtual BOOL InitInstance() { return FALSE; }
  // Its result is the process exit code.
  virtual int ExitInstance() { return 0; }

  const CString& Title() const { return title_; }

  CWnd* m_pMainWnd = nullptr;

 private:
  CString title_;
};

CWinApp* AfxGetApp();
// The application's title; with no application object, the same name worked out afresh.
CString AfxGetAppTitle();
// The executable's file name without its extension.
CString ExecutableTitle();

// The entry point: runs the registered application object on a Qt application of its own (made
// here unless the caller made one). The command line is not read. Returns the exit code.
int AfxWinMain(int argc, char** argv);

}  // namespace framework
