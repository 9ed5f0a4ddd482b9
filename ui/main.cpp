// Program entry: hands over to a running instance, or runs the main window.
#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QMessageBox>

#include <fontconfig/fontconfig.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "capture/atoi.h"
#include "capture/capture_state.h"
#include "capture/platform/capabilities.h"
#include "capture/platform/standard_streams.h"
#include "resources/icons.h"
#include "ui/main_dialog.h"
#include "ui/single_instance.h"

namespace {

constexpr const char* kUsage = "usage: trovix [-h | --help] [-v | --version] [--] [NUMBER | FILE | -]\n";
constexpr const char* kHelp =
    "Watches the IPv4 and IPv6 datagrams that pass one network interface, in a window.\n"
    "FILE is a capture file (pcap or pcapng) to list; - reads one as a stream from standard\n"
    "input, listing datagrams as they arrive (ssh HOST tcpdump -U -w - | trovix -).\n"
    "A start while Trovix runs brings the running window to the front and ends, handing it\n"
    "the FILE to open, its standard input to read, or the NUMBER.\n"
    "\n"
    "  -h, --help     print this help\n"
    "  -v, --version  print the version\n"
    "  --             ends the options: what follows is handed over as it is\n";

// White space, an optional sign and a digit, as atoi reads a number.
bool NumberForm(std::string_view text) {
  size_t i = text.find_first_not_of(" \t\n\v\f\r");
  if (i != std::string_view::npos && (text[i] == '+' || text[i] == '-')) ++i;
  return i < text.size() && text[i] >= '0' && text[i] <= '9';
}

bool NamesAFile(const std::string& word) {
  struct stat st {};
  return stat(word.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

// The command line after its options: its words, one blank between them, and the first.
struct CommandLine {
  std::string text;
  std::string firstWord;
  bool number = false;  // handed over as a number, not opened
};

// What the command line asks before any window: nothing to run the window with `line`,
// otherwise the exit status of a help, a version or a refused option, said already.
// Nothing here needs a display, so a terminal without one gets its answer.
std::optional<int> ReadCommandLine(int argc, char** argv, CommandLine& line) {
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
      bool help = arg == "--help" || arg == "-h";
      if (help || arg == "--version" || arg == "-v") {
        if (answer == nullptr || help) answer = help ? "help" : "version";
        continue;
      }
      std::fprintf(stderr, "trovix: unknown option %s\n%s", argv[i], kUsage);
      return 2;
    }
    if (words++ > 0) line.text += ' ';
    line.text += arg;
    if (words == 1) line.firstWord = arg;
  }
  // A word in number form is handed over as the command line always was, unless it names
  // a file (2024-05-01.pcap); any other word is the one capture file.
  line.number = NumberForm(line.text) && !(words == 1 && NamesAFile(line.firstWord));
  if (answer == nullptr && words > 1 && !line.number) {
    std::fprintf(stderr, "trovix: one capture file at a time\n%s", kUsage);
    return 2;
  }
  if (answer == nullptr) return std::nullopt;
  if (std::string_view(answer) == "help") std::printf("%s\n%s", kUsage, kHelp);
  else std::printf("trovix %s\n", TROVIX_VERSION);
  if (std::fflush(stdout) == 0) return 0;
  std::fprintf(stderr, "trovix: cannot write to standard output: %s\n", std::strerror(errno));
  return 1;
}

// Whether `path` leads into /proc, as /dev/stdin and /dev/fd/N do: what it names there
// depends on the process that opens it. Each link on the way is followed, as the system
// would (at most 40).
bool LeadsIntoProc(std::string path) {
  for (int links = 0; links <= 40; ++links) {
    size_t slash = path.rfind('/');
    char real[PATH_MAX];
    if (slash == std::string::npos || realpath(slash == 0 ? "/" : path.substr(0, slash).c_str(), real) == nullptr) {
      return false;
    }
    std::string folder = std::strcmp(real, "/") == 0 ? std::string() : std::string(real);
    std::string whole = folder + path.substr(slash);
    if (whole == "/proc" || whole.rfind("/proc/", 0) == 0) return true;
    char target[PATH_MAX];
    ssize_t n = readlink(whole.c_str(), target, sizeof target);
    if (n <= 0 || size_t(n) == sizeof target) return false;  // not a link: the path ends outside /proc
    path = target[0] == '/' ? std::string(target, size_t(n)) : folder + '/' + std::string(target, size_t(n));
  }
  return false;
}

// What this start hands over, or opens itself when it runs the window.
trovix::HandOver HandOverFor(const CommandLine& line) {
  if (line.text.empty() || line.number) return static_cast<int>(trovix::AtoiValue(line.text));
  if (line.firstWord == "-") return trovix::HandOver::Stream(STDIN_FILENO);
  // The file's name as the system gave it, whatever its encoding.
  QString path = QFileInfo(QFile::decodeName(line.firstWord.c_str())).absoluteFilePath();
  // A name that means something in this process only is opened here; the running window
  // gets the descriptor. Not blocking: a named pipe with no writer yet would hold the start.
  if (QByteArray name = QFile::encodeName(path); LeadsIntoProc(name.toStdString())) {
    if (int fd = open(name.constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); fd >= 0) return trovix::HandOver::Stream(fd, path);
  }
  return trovix::HandOver::File(path);
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
  CommandLine line;
  if (std::optional<int> status = ReadCommandLine(argc, argv, line)) return *status;
  // Fontconfig reads its whole configuration, dozens of XML files, when the window first
  // measures text: read on another processor while Qt connects to the display, it is
  // ready by then.
  std::jthread fontConfiguration([] { FcInit(); });
  trovix::PrefetchHostInfo();
  // Qt sees no argument of the user's: every option is the program's own, and a word after
  // "--" must not be taken for one of Qt's.
  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  // Qt's list of the system's fonts, which the window's first text needs, is made on this
  // other processor while the window starts up; the window waits for it under Qt's own
  // font lock, should it come first.
  std::jthread fontList([&fontConfiguration] {
    fontConfiguration.join();  // Qt would otherwise read the configuration a second time
    QFontDatabase::families();
  });
  trovix::HandOver handOver = HandOverFor(line);

  trovix::InstanceServer server;
  QString problem;
  QString name = trovix::InstanceName(&problem);
  if (name.isEmpty()) {
    // Better a second window than none: nobody else can take a name the window never has.
    std::fprintf(stderr, "trovix: %s; this window runs on its own\n", problem.toLocal8Bit().constData());
  }
  trovix::InstanceStart start =
      name.isEmpty() ? trovix::InstanceStart::kRunWindow : trovix::BecomeTheInstance(server, name, handOver, &problem);
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
  QObject::connect(&server, &trovix::InstanceServer::streamHandedOver, &dialog, [&dialog](int fd, const QString& name) {
    dialog.ShowToRead();
    dialog.OpenCaptureStream(fd, name.isEmpty() ? QStringLiteral("standard input") : name);
  }, Qt::QueuedConnection);
  QObject::connect(&dialog, &QDialog::finished, &app, &QCoreApplication::quit, Qt::QueuedConnection);
  dialog.show();
  if (!handOver.streamName.isEmpty()) dialog.OpenCaptureStream(handOver.streamFd, handOver.streamName);
  else if (handOver.streamFd >= 0) dialog.OpenCaptureFile(QStringLiteral("-"));
  else if (!handOver.file.isEmpty()) dialog.OpenCaptureFile(handOver.file);
  app.exec();
  return 0;
}
