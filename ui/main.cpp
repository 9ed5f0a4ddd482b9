// Program entry: hands over to a running instance, or runs the main window.
#include <QApplication>

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
  // Before Qt starts a thread or reads a file; a window that cannot shed them does not run.
  if (int error = trovix::LowerCapabilitiesAtStart(); error != 0) {
    std::fprintf(stderr, "trovix: cannot give up the capabilities it does not need: %s\n", std::strerror(error));
    return 1;
  }
  QApplication app(argc, argv);
  std::string commandLine;
  for (int i = 1; i < argc; ++i) commandLine += (i > 1 ? " " : "") + std::string(argv[i]);
  int value = static_cast<int>(trovix::AtoiValue(commandLine));

  trovix::InstanceServer server;
  if (!trovix::BecomeTheInstance(server, trovix::InstanceName(), value)) return 0;

  QApplication::setWindowIcon(trovix::WindowIcon());
  trovix::MainDialog dialog(trovix::TheCaptureState(), trovix::SystemServices());
  QObject::connect(&server, &trovix::InstanceServer::handedOver, &dialog, [&dialog](int) { dialog.BringToFront(); });
  dialog.exec();
  return 0;
}
