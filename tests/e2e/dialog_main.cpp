// The end-to-end tests' entry; the same program, started with the close flag, is the process
// whose dialog a test closes.
#include <gtest/gtest.h>

#include <QApplication>
#include <cstdlib>
#include <string_view>

#include "dialog_close_child.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 1);
  if (argc > 1 && std::string_view(argv[1]) == e2e::kCloseChildFlag) {
    return e2e::ClosingProcessMain(argc, argv);
  }
  QApplication app(argc, argv);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
