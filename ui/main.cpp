// Program entry: hands over to a running instance, or runs the main window.
#include <QApplication>
#include <QMessageBox>

#include <cstdio>
#include <cstring>
#include <string>

#include "capture/atoi.h"
#include "capture/capture_state.h"
#include "capture/platform/capabilities.h"
#include "resources/icons.h"
#include "ui/main_dialog.h"
#include "ui/single_instance.h"

int main(int argc, char** argv) {
  if (trovix::StartedSetId()) {
    std::fputs("trovix: refusing to run set-user-ID or set-group-ID: capturing needs only CAP_NET_RAW\n", stderr);
    return 1;
  }
  // Before Qt starts a thread or reads a file; a window that cannot shed them does not run.
  if (int error = trovix::DropCapabilities(0); error != 0) {
    std::fprintf(stderr, "trovix: cannot give up the capabilities it does not need: %s\n", std::strerror(error));
    return 1;
  }
  QApplication app(argc, argv);
  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
  int value = static_cast<int>(trovix::AtoiValue(commandLine));

  trovix::InstanceServer server;
  QString problem;
  QString name = trovix::InstanceName(&problem);
  trovix::InstanceStart start =
      name.isEmpty() ? trovix::InstanceStart::kFailed : trovix::BecomeTheInstance(server, name, value, &problem);
  if (start == trovix::InstanceStart::kHandedOver) return 0;
  if (start == trovix::InstanceStart::kFailed) {
    // Neither a hand-over nor a window of its own: say so rather than end in silence.
    std::fprintf(stderr, "trovix: %s\n", problem.toLocal8Bit().constData());
    QMessageBox box(QMessageBox::NoIcon, QStringLiteral("error:"), problem, QMessageBox::Ok);
    box.exec();
    return 1;
  }

  QApplication::setWindowIcon(trovix::WindowIcon());
  // Names the menu entry, so that a Wayland compositor can show the entry's icon and name.
  QGuiApplication::setDesktopFileName(QStringLiteral("invalid.trovix.Trovix"));
  // The window may live hidden behind its notification-area icon, and a hidden modal
  // dialog ends its own loop: the application's loop runs until the window is done.
  QApplication::setQuitOnLastWindowClosed(false);
  trovix::MainDialog dialog(trovix::TheCaptureState(), trovix::SystemServices());
  QObject::connect(&server, &trovix::InstanceServer::handedOver, &dialog, [&dialog](int) { dialog.BringToFront(); });
  QObject::connect(&dialog, &QDialog::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  dialog.show();
  app.exec();
  return 0;
}
