// An empty dialog of the toolkit, run modally as the updater runs its own: the baseline against
// which the updater's start-up time and resident memory are measured.
#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  QDialog dialog;
  dialog.setWindowTitle("ovrin empty dialog");
  return dialog.exec();
}
