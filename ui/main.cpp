// Program entry: hands over to a running instance, or runs the main window.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QMessageBox>

#include <unistd.h>

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

constexpr const char* kUsage = "usage: trovix [--help] [--version] [--] [NUMBER | FILE | -]\n";
constexpr const char* kHelp =
    "Watches the IPv4 and IPv6 datagrams that pass one network interface, in a window.\n"
    "FILE is a capture file (pcap or pcapng) to list; - reads one as a stream from standard\n"
    "input, listing datagrams as they arrive (ssh HOST tcpdump -U -w - | trovix -).\n"
    "A start while Trovix runs brings the running window to the front and ends, handing it\n"
    "the FILE to open, its standard input to read, or the NUMBER.\n"
    "\n"
    "  --help     print this help\n"
    "  --version  print the version\n"
    "  --         ends the options: what follows is handed over as it is\n";

// White space, an optional sign and a digit, as atoi reads a number.
bool NumberForm(std::string_view text) {
  size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i != std::string_view::npos && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

// What the command line asks before any window: nothing to run the window with
// `commandLine` (its words after the options, one blank between them), otherwise the exit status of a --help, a --version or a refused option,
// said already. Nothing here needs a display, so a terminal without one gets its answer.
std::optional<int> ReadCommandLine(int argc, char** argv, std::string& commandLine, std::string& firstWord) {
  bool options = true;
  int words = 0;
  firstWord.clear();
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
    if (words == 1) firstWord = arg;
  }
  // A word in number form is handed over as the command line always was; any other is
  // the one capture file.
  if (answer == nullptr && words > 1 && !NumberForm(commandLine)) {
    std::fprintf(stderr, "trovix: one capture file at a time\n%s", kUsage);
    return 2;
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
  std::string commandLine, firstWord;
  if (std::optional<int> status = ReadCommandLine(argc, argv, commandLine, firstWord)) return *status;
  // Qt sees no argument of the user's: every option is the program's own, and a word after
  // "--" must not be taken for one of Qt's.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  // The file's name as the system gave it, whatever its encoding.
  QString file = commandLine.empty() || NumberForm(commandLine) ? QString() : QFile::decodeName(firstWord.c_str());
  trovix::HandOver handOver = file.isEmpty()     ? trovix::HandOver(static_cast<int>(trovix::AtoiValue(commandLine)))
                              : file == u"-"     ? trovix::HandOver::Stream(STDIN_FILENO)
                                                 : trovix::HandOver::File(QFileInfo(file).absoluteFilePath());

  trovix::InstanceServer server;
  QString problem;
  QString name = trovix::InstanceName(&problem);
  trovix::InstanceStart start =
      name.isEmpty() ? trovix::InstanceStart::kFailed : trovix::BecomeTheInstance(server, name, handOver, &problem);
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
  QObject::connect(&server, &trovix::InstanceServer::fileHandedOver, &dialog, [&dialog](const QString& path) {
    dialog.ShowToRead();
    dialog.OpenCaptureFile(path);
  }, Qt::QueuedConnection);  // after the answer: opening may ask the user first
  QObject::connect(&server, &trovix::InstanceServer::streamHandedOver, &dialog, [&dialog](int fd) {
    dialog.ShowToRead();
    dialog.OpenCaptureStream(fd, QStringLiteral("standard input"));
  }, Qt::QueuedConnection);
  QObject::connect(&dialog, &QDialog::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  dialog.show();
  if (!file.isEmpty()) dialog.OpenCaptureFile(handOver.streamFd >= 0 ? file : handOver.file);
  app.exec();
  return 0;
}
