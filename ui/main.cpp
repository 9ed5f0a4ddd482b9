// Program entry: hands over to a running instance, or runs the main window.
#include <QApplication>
#include <QMessageBox>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>

#include "capture/atoi.h"
#include "capture/capture_state.h"
#include "capture/platform/capabilities.h"
#include "capture/platform/standard_streams.h"
#include "resources/icons.h"
#include "ui/main_dialog.h"
#include "ui/single_instance.h"

namespace {

constexpr const char* kUsage = "usage: trovix [--help] [--version] [--] [NUMBER]\n";
constexpr const char* kHelp =
    "Watches the IPv4 and IPv6 datagrams that pass one network interface, in a window.\n"
    "A start while Trovix runs brings the running window to the front and ends; what follows\n"
    "the options (NUMBER) is handed over to it.\n"
    "\n"
    "  --help     print this help\n"
    "  --version  print the version\n"
    "  --         ends the options: what follows is handed over as it is\n";

// What the command line asks before any window: nothing to run the window with
// `commandLine`, otherwise the exit status of a --help, a --version or a refused option,
// said already. Nothing here needs a display, so a terminal without one gets its answer.
std::optional<int> ReadCommandLine(int argc, char** argv, std::string& commandLine) {
  bool options = true;
  int words = 0;
  const char* answer = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (options && arg == "--") {
      options = false;
      continue;
    }
    // A lone "-" is a word, as it is to other programs, and so is a negative number: the
    // running window is handed "-7" as it always was.
    if (options && arg.size() > 1 && arg[0] == '-' && !(arg[1] >= '0' && arg[1] <= '9')) {
      if (arg == "--help" || arg == "--version") {
        if (answer == nullptr || arg == "--help") answer = argv[i];
        continue;
      }
      std::fprintf(stderr, "trovix: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
    if (words++ > 0) commandLine += ' ';
    commandLine += arg;
  }
  if (answer == nullptr) return std::nullopt;
  if (std::string_view(answer) == "--help") std::printf("%s\n%s", kUsage, kHelp);
  else std::printf("trovix %s\n", TROVIX_VERSION);
  if (std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "trovix: cannot write to standard output: %s\n", std::strerror(errno));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed standard descriptor would otherwise be the next file or socket Qt opens, and
  // get its warnings.
  if (int error = trovix::OpenClosedStandardStreams(); error != 0) return 1;
  if (trovix::StartedSetId()) {
    std::fputs("trovix: refusing to run set-user-ID or set-group-ID: capturing needs only CAP_NET_RAW\n", stderr);
    return 1;
  }
  // Before Qt starts a thread or reads a file; a window that cannot shed them does not run.
  if (int error = trovix::DropCapabilities(0); error != 0) {
    std::fprintf(stderr, "trovix: cannot give up the capabilities it does not need: %s\n", std::strerror(error));
    return 1;
  }
  std::string commandLine;
  if (std::optional<int> status = ReadCommandLine(argc, argv, commandLine)) return *status;
  // Qt sees no argument of the user's: every option is the program's own, and a word after
  // "--" must not be taken for one of Qt's.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
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
