// Saves pictures of the main dialog and of the About box, as the window system shows them, for a
// person to look at: ui_dialog_grab <folder>. Run under a display (scripts/screenshot uses Xvfb).
#include <QApplication>
#include <QDir>
#include <QTimer>
#include <cstdio>

#include "ui/about_dialog.h"
#include "ui/updater_dialog.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const QDir folder(argc > 1 ? QString::fromLocal8Bit(argv[1]) : QDir::currentPath());
  ui::CUpdaterDialog main(nullptr, [](job::UpdateJob&, job::OperatorSurface&) { return true; });
  if (!main.Create()) return 1;
  ui::CAboutDialog about;
  if (!about.Create()) return 1;
  QTimer::singleShot(500, [&] {
    const bool saved = main.Window()->grab().save(folder.filePath("main-dialog.png")) &&
                       about.Window()->grab().save(folder.filePath("about-box.png"));
    std::puts(saved ? "saved" : "could not save");
    app.exit(saved ? 0 : 1);
  });
  return QApplication::exec();
}
