// The program itself, started more than once: one start runs the window, the others hand
// over and end.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <pcap/dlt.h>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <vector>

#include "tests/datagram_builder.h"
#include "tests/pcap_bytes.h"

namespace {

// The runtime folder the starts share, the user's own and private as a session's is.
// Made again after a test removed it.
QString RuntimeFolder() {
  QString path = QDir::tempPath() + QString("/trovix-entry-%1").arg(getpid());
  if (QDir().mkpath(path)) QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
  return path;
}

QProcessEnvironment Environment(const QString& display) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("DISPLAY", display);  // a display of its own keeps it apart from any real one
  env.insert("XDG_RUNTIME_DIR", RuntimeFolder());
  env.remove("WAYLAND_DISPLAY");
  return env;
}

// A display name of the test's own, and the socket path the program derives from it.
QString Display(const char* tag) { return QString(":trovix-%1-%2").arg(tag).arg(getpid()); }
QString SocketPath(const char* tag) {
  return RuntimeFolder() + QString("/trovix-_trovix_%1_%2").arg(tag).arg(getpid());
}

// The window's rows, as the probe plugin in it writes them.
QStringList ProbedRows(const QString& file) {
  QFile f(file);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
}

// A terminated window leaves its socket and lock files behind.
void RemoveLeftovers(const QString& socket) {
  QFile::remove(socket);
  QFile::remove(socket + ".lock");
  QDir().rmdir(RuntimeFolder());  // once the last test's files are gone
}

TEST(ProgramEntry, SecondStartHandsOverAndExitsZeroWhileTheFirstRuns) {
  QString display = Display("test");
  QString socket = SocketPath("test");
  QProcess first;
  first.setProcessEnvironment(Environment(display));
  first.start(TROVIX_BINARY, {});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 10000)) << socket.toStdString();

  // A lone "-" and a negative number are words, and "--" ends the options.
  for (const QStringList& commandLine : {QStringList{"42"}, {"-7"}, {"  -7 and more"}, {"words"}, {"-"}, {"--", "-x"}}) {
    QProcess second;
    second.setProcessEnvironment(Environment(display));
    second.start(TROVIX_BINARY, commandLine);
    ASSERT_TRUE(second.waitForFinished(10000)) << commandLine.join(' ').toStdString();
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0) << commandLine.join(' ').toStdString();
    EXPECT_EQ(first.state(), QProcess::Running) << "the first instance must keep running";
  }
  first.terminate();
  first.waitForFinished(5000);
  RemoveLeftovers(socket);
}

bool WriteFile(const QString& path, const std::string& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(bytes.data(), qint64(bytes.size())) == qint64(bytes.size());
}

// Starts whose window writes its rows to `rows` in `folder`, with settings of their own: a
// window on screen, no first run's about box, "udp" on, and a stream's packets dropped for
// the next without a question.
QProcessEnvironment ProbedEnvironment(const char* tag, const QString& folder, const QString& rows) {
  EXPECT_TRUE(WriteFile(folder + "/config/Trovix/trovix.ini",
                        "[Config]\r\nEnableFlipToTray=No\r\nOnUdp=Yes\r\nAskBeforeDiscarding=No\r\n"));
  QProcessEnvironment env = Environment(Display(tag));
  env.insert("XDG_CONFIG_HOME", folder + "/config");
  env.insert("QT_PLUGIN_PATH", TROVIX_PROBE_PLUGINS);
  env.insert("QT_QPA_GENERIC_PLUGINS", "trovixprobe");
  env.insert("TROVIX_PROBE_ROWS", rows);
  return env;
}

std::string Header() { return trovix::test::PcapHeader(DLT_RAW); }
std::string Record(uint16_t port) {
  return trovix::test::PcapRecord(trovix::test::MakeDatagram({17, "198.18.0.1", "198.18.0.2", 5000, port, 4}), 1, 0);
}
QString Row(int k, int port) { return QString("\t%1\tudp\t198.18.0.1\t5000\t198.18.0.2\t%2\t32\t64").arg(k).arg(port); }

// Waits until the window lists `expected`, and says what it listed instead.
bool Listed(const QString& rows, const QStringList& expected) {
  bool same = QTest::qWaitFor([&] { return ProbedRows(rows) == expected; }, 10000);
  EXPECT_TRUE(same) << ProbedRows(rows).join(" | ").toStdString();
  return same;
}

// A later start that hands over and ends with status 0, after writing `input` to its
// standard input, in `folder`.
void HandOver(const QProcessEnvironment& env, const QStringList& arguments, const QString& folder = QString(),
              const std::string& input = "") {
  QProcess later;
  later.setProcessEnvironment(env);
  later.setWorkingDirectory(folder);
  later.start(TROVIX_BINARY, arguments);
  later.write(QByteArray::fromStdString(input));
  later.closeWriteChannel();
  EXPECT_TRUE(later.waitForFinished(10000) && later.exitCode() == 0) << arguments.join(' ').toStdString();
}

// `trovix -` lists a stream as it arrives; later starts hand over a file named from their
// own working folder, their standard input, and a stream their own process names.
TEST(ProgramEntry, StandardInputIsListedLiveAndLaterStartsHandOverFilesAndStreams) {
  QString folder = RuntimeFolder(), rows = folder + "/rows", elsewhere = folder + "/elsewhere";
  QProcessEnvironment env = ProbedEnvironment("file", folder, rows);
  QProcess first;
  first.setProcessEnvironment(env);
  first.start(TROVIX_BINARY, {"-"});
  first.write(QByteArray::fromStdString(Header() + Record(1)));
  ASSERT_TRUE(Listed(rows, {Row(0, 1)}));  // before the stream ends
  first.write(QByteArray::fromStdString(Record(2)));
  first.closeWriteChannel();
  ASSERT_TRUE(Listed(rows, {Row(0, 1), Row(1, 2), " standard input: end of stream, 2 records read, 2 listed"}));

  ASSERT_TRUE(WriteFile(elsewhere + "/held.pcap", Header() + Record(3)));
  HandOver(env, {"held.pcap"}, elsewhere);
  Listed(rows, {Row(0, 3), " " + elsewhere + "/held.pcap: end of file, 1 record read, 1 listed"});
  HandOver(env, {"-"}, folder, Header() + Record(4));
  Listed(rows, {Row(0, 4), " standard input: end of stream, 1 record read, 1 listed"});
  HandOver(env, {"/dev/stdin"}, folder, Header() + Record(5));
  Listed(rows, {Row(0, 5), " /dev/stdin: end of stream, 1 record read, 1 listed"});
  EXPECT_EQ(first.state(), QProcess::Running);
  first.terminate();
  first.waitForFinished(5000);
  for (const char* made : {"/config", "/elsewhere"}) QDir(folder + made).removeRecursively();
  QFile::remove(rows);
  RemoveLeftovers(SocketPath("file"));
}

// A word that begins as a number does but names a file is that file, at the first start
// and at a later one; a number that names none is still handed over.
TEST(ProgramEntry, AFileNamedLikeANumberIsOpened) {
  QString folder = RuntimeFolder(), rows = folder + "/rows", dated = folder + "/dated";
  QProcessEnvironment env = ProbedEnvironment("dated", folder, rows);
  ASSERT_TRUE(WriteFile(dated + "/2024-05-01.pcap", Header() + Record(6)));
  QProcess first;
  first.setProcessEnvironment(env);
  first.setWorkingDirectory(dated);
  first.start(TROVIX_BINARY, {"2024-05-01.pcap"});
  QString read = " " + dated + "/2024-05-01.pcap: end of file, 1 record read, 1 listed";
  ASSERT_TRUE(Listed(rows, {Row(0, 6), read}));
  HandOver(env, {"7"}, dated);
  ASSERT_TRUE(WriteFile(dated + "/2024-05-01.pcap", Header() + Record(7)));
  HandOver(env, {"2024-05-01.pcap"}, dated);
  Listed(rows, {Row(0, 7), read});
  EXPECT_EQ(first.state(), QProcess::Running);
  first.terminate();
  first.waitForFinished(5000);
  QDir(folder + "/config").removeRecursively();
  QDir(dated).removeRecursively();
  QFile::remove(rows);
  RemoveLeftovers(SocketPath("dated"));
}

// Without a private folder to hold the socket in, the window runs on its own.
TEST(ProgramEntry, WithoutAPrivateFolderTheWindowStillRuns) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user";
  QString folder = RuntimeFolder(), rows = folder + "/rows", tmp = folder + "/tmp";
  QProcessEnvironment env = ProbedEnvironment("alone", folder, rows);
  // Another user's folders where the runtime folder and the cache folder's would be.
  for (const QString& taken : {tmp + QString("/trovix-%1").arg(getuid()), folder + "/cache/trovix"}) {
    ASSERT_TRUE(QDir().mkpath(taken) && chown(taken.toLocal8Bit().constData(), 65534, 65534) == 0);
  }
  env.remove("XDG_RUNTIME_DIR");
  env.insert("TMPDIR", tmp);
  env.insert("XDG_CACHE_HOME", folder + "/cache");
  ASSERT_TRUE(WriteFile(folder + "/alone.pcap", Header() + Record(8)));
  QProcess window;
  window.setProcessEnvironment(env);
  window.start(TROVIX_BINARY, {folder + "/alone.pcap"});
  Listed(rows, {Row(0, 8), " " + folder + "/alone.pcap: end of file, 1 record read, 1 listed"});
  EXPECT_EQ(window.state(), QProcess::Running);
  window.terminate();
  window.waitForFinished(5000);
  for (const char* made : {"/config", "/tmp", "/cache"}) QDir(folder + made).removeRecursively();
  QFile::remove(folder + "/alone.pcap");
  QFile::remove(rows);
}

// Answered from a terminal without any display, before Qt would look for one.
TEST(ProgramEntry, HelpVersionAndUnknownOptionsNeedNoDisplay) {
  struct Case {
    QStringList arguments;
    int status;
    const char* out;  // how standard output begins; "" for nothing at all
    const char* err;
  };
  const Case cases[] = {
      {{"--help"}, 0, "usage: trovix [-h | --help] [-v | --version] [--] [NUMBER | FILE | -]\n", ""},
      {{"-h"}, 0, "usage: trovix [-h | --help] [-v | --version] [--] [NUMBER | FILE | -]\n", ""},
      {{"-v"}, 0, "trovix 0.1.0\n", ""},
      {{"a.pcap", "b.pcap"}, 2, "", "trovix: one capture file at a time\n"},
      {{"--version"}, 0, "trovix 0.1.0\n", ""},
      {{"--bogus"}, 2, "", "trovix: unknown option --bogus\nusage: trovix"},
      {{"42", "-platform", "offscreen"}, 2, "", "trovix: unknown option -platform\n"},
  };
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) env.remove(name);
  for (const Case& c : cases) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(TROVIX_BINARY, c.arguments);
    ASSERT_TRUE(p.waitForFinished(10000)) << c.arguments.join(' ').toStdString();
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), c.status) << c.arguments.join(' ').toStdString();
    for (auto [text, start] : {std::pair{QString(p.readAllStandardOutput()), c.out}, {p.readAllStandardError(), c.err}}) {
      EXPECT_TRUE(*start != 0 ? text.startsWith(start) : text.isEmpty())
          << c.arguments.join(' ').toStdString() << ": " << text.toStdString();
    }
  }
}

TEST(ProgramEntry, StartsAtTheSameTimeEndWithOneWindow) {
  QString display = Display("race");
  std::vector<std::unique_ptr<QProcess>> starts;
  for (int i = 0; i < 4; ++i) {
    starts.push_back(std::make_unique<QProcess>());
    starts.back()->setProcessEnvironment(Environment(display));
    starts.back()->start(TROVIX_BINARY, {});
  }
  auto running = [&] {
    return std::count_if(starts.begin(), starts.end(), [](auto& p) { return p->state() != QProcess::NotRunning; });
  };
  // All but one hand over and end; the one left runs the window.
  EXPECT_TRUE(QTest::qWaitFor([&] { return running() == 1; }, 30000)) << running() << " still running";
  QTest::qWait(500);
  EXPECT_EQ(running(), 1);
  for (auto& p : starts) {
    if (p->state() != QProcess::NotRunning) {
      p->terminate();
      p->waitForFinished(5000);
    } else {
      EXPECT_EQ(p->exitStatus(), QProcess::NormalExit);
      EXPECT_EQ(p->exitCode(), 0);
    }
  }
  RemoveLeftovers(SocketPath("race"));
}

}  // namespace
