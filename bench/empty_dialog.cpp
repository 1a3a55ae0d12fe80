// An empty dialog of the toolkit, run modally as the updater runs its own: the baseline against
// which the updater's start-up time and resident memory are measured. With --after-file-dialog
// it first opens the toolkit's file dialog as the updater's Browse does and closes it, the
// baseline for the updater after a package has been chosen.
#include <QApplication>
#include <QDialog>
#include <QFileDialog>
#include <QTimer>
#include <cstring>

namespace {

constexpr int kFileDialogMs = 1000;  // long enough for it to list the folder

void OpenAndCloseFileDialog() {
  QFileDialog files;
  files.setOption(QFileDialog::DontUseNativeDialog);
  files.setOption(QFileDialog::ReadOnly);
  files.setAcceptMode(QFileDialog::AcceptOpen);
  files.setFileMode(QFileDialog::ExistingFile);
  QTimer::singleShot(kFileDialogMs, &files, &QFileDialog::reject);
  files.exec();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  const bool afterFileDialog = argc > 1 && std::strcmp(argv[1], "--after-file-dialog") == 0;
  if (afterFileDialog) OpenAndCloseFileDialog();
  QDialog dialog;
  dialog.setWindowTitle(afterFileDialog ? "ovrin empty dialog after a file dialog"
                                        : "ovrin empty dialog");
  return dialog.exec();
}
