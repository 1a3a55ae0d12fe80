// The application object: its title follows the executable's file name, and the entry point
// runs InitInstance once and ends with the fixed exit code.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <cstdlib>

#include "platform/framework/win_app.h"

namespace ui {
namespace {

constexpr const char* kExpectedTitleVariable = "UI_TEST_EXPECTED_TITLE";

TEST(AppTitle, IsTheExecutableFileNameWithoutItsExtension) {
  if (const char* expected = std::getenv(kExpectedTitleVariable)) {
    EXPECT_EQ(framework::ExecutableTitle(), expected);
    return;
  }
  // Run this very test again from a copy named Tool.exe.
  QTemporaryDir dir;
  const QString renamed = QDir(dir.path()).filePath(QStringLiteral("Tool.exe"));
  ASSERT_TRUE(QFile::copy(QStringLiteral("/proc/self/exe"), renamed));
  ASSERT_TRUE(QFile::setPermissions(renamed, QFile::ReadOwner | QFile::ExeOwner));
  QProcess copy;
  QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
  environment.insert(kExpectedTitleVariable, QStringLiteral("Tool"));
  copy.setProcessEnvironment(environment);
  copy.start(renamed, {QStringLiteral("--gtest_filter=AppTitle.*")});
  ASSERT_TRUE(copy.waitForFinished(60000));
  EXPECT_EQ(copy.exitCode(), 0) << copy.readAllStandardOutput().toStdString();
}

class ProbeApp : public framework::CWinApp {
 public:
  int initialised = 0;
  framework::BOOL InitInstance() override {
    ++initialised;
    return framework::FALSE;
  }
};

TEST(AppEntry, RunsInitInstanceOnceAndEndsWithTheFixedCode) {
  ProbeApp app;
  EXPECT_EQ(framework::AfxGetApp(), &app);
  EXPECT_EQ(app.Title(), framework::ExecutableTitle());
  char name[] = "ignored";
  char option[] = "--any-option";
  char* argv[] = {name, option, nullptr};
  EXPECT_EQ(framework::AfxWinMain(2, argv), 0);
  EXPECT_EQ(app.initialised, 1);
}

}  // namespace
}  // namespace ui
