#include "platform/framework/win_app.h"

#include <errno.h>
#include <unistd.h>

#include <QApplication>
#include <array>
#include <memory>
#include <string_view>

namespace framework {
namespace {

CWinApp* g_app = nullptr;

CString TitleFromPath(std::string_view path) {
  const auto slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  const auto dot = name.rfind('.');
  if (dot != std::string_view::npos && dot != 0) name = name.substr(0, dot);
  return CString(name);
}

}  // namespace

CWinApp::CWinApp() : title_(ExecutableTitle()) {
  g_app = this;
}

CWinApp::~CWinApp() {
  if (g_app == this) g_app = nullptr;
}

CWinApp* AfxGetApp() {
  return g_app;
}

CString AfxGetAppTitle() {
  return g_app != nullptr ? g_app->Title() : ExecutableTitle();
}

CString ExecutableTitle() {
  std::array<char, 4096> path{};
  const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size() - 1);
  if (length > 0) return TitleFromPath(std::string_view(path.data(), std::size_t(length)));
  return TitleFromPath(program_invocation_name);
}

int AfxWinMain(int argc, char** argv) {
  CWinApp* app = AfxGetApp();
  if (app == nullptr) return 1;
  // Qt sees the program name only: the command line has no effect on the program.
  static int qtArgc = 1;
  static char* qtArgv[] = {argc > 0 ? argv[0] : program_invocation_name, nullptr};
  std::unique_ptr<QApplication> qtApp;
  if (QCoreApplication::instance() == nullptr) {
    qtApp = std::make_unique<QApplication>(qtArgc, qtArgv);
  }
  if (app->InitInstance() != FALSE) QApplication::exec();
  return app->ExitInstance();
}

}  // namespace framework
