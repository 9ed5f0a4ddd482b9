#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <memory>
#include <thread>

#include "capture/atoi.h"

namespace trovix {
namespace {

TEST(CommandLineNumber, ReadLikeAtoi) {
  EXPECT_EQ(AtoiValue("  42 and more"), 42);
  EXPECT_EQ(AtoiValue("-7"), -7);
  EXPECT_EQ(AtoiValue("no number"), 0);
  EXPECT_EQ(AtoiValue(""), 0);
  EXPECT_EQ(AtoiValue("99999999999999999999"), 2147483647);
  EXPECT_EQ(AtoiValue("-99999999999999999999"), -2147483648LL);
}

QString UniqueName() { return QStringLiteral("trovix-test-%1").arg(QCoreApplication::applicationPid()); }

// Removes the socket and lock files that a name leaves in the temporary folder; declared
// before the servers, so it runs after they have closed.
struct Leftovers {
  QString name;
  ~Leftovers() {
    QLocalServer::removeServer(name);
    QFile::remove(QDir::tempPath() + "/" + name + ".lock");
  }
};

TEST(SingleInstance, ASecondStartHandsOverAndTheFirstHearsIt) {
  Leftovers leftovers{UniqueName()};
  InstanceServer server;
  ASSERT_TRUE(server.Listen(UniqueName()));
  QList<int> heard;
  QObject::connect(&server, &InstanceServer::handedOver, [&](int v) { heard << v; });
  // The second start blocks until the answer comes, so it runs on its own thread.
  bool handed = false;
  std::thread second([&] { handed = HandOverToRunningInstance(UniqueName(), 42, 3000); });
  ASSERT_TRUE(QTest::qWaitFor([&] { return !heard.isEmpty(); }, 3000));
  second.join();
  EXPECT_TRUE(handed);
  EXPECT_EQ(heard, QList<int>({42}));
}

TEST(SingleInstance, NoRunningInstanceMeansNoHandOver) {
  EXPECT_FALSE(HandOverToRunningInstance(UniqueName() + "-none", 1, 200));
}

TEST(SingleInstance, AServerThatNeverAnswersIsNoHandOver) {
  QLocalServer silent;  // the system accepts the connection; nobody ever answers it
  ASSERT_TRUE(silent.listen(UniqueName() + "-silent"));
  EXPECT_FALSE(HandOverToRunningInstance(UniqueName() + "-silent", 1, 300));
}

TEST(SingleInstance, AStartThatCanNeitherHandOverNorListenWaitsForTheAnswer) {
  QString name = UniqueName() + "-busy";
  Leftovers leftovers{name};
  QLocalServer busy;  // holds the name and answers only later, as a busy window would
  ASSERT_TRUE(busy.listen(name));
  std::atomic<int> outcome{-1};
  std::thread start([&] {
    InstanceServer server;
    QString problem;
    outcome = static_cast<int>(BecomeTheInstance(server, name, 7, &problem));
  });
  QTest::qWait(700);  // several hand-overs time out meanwhile
  EXPECT_EQ(outcome.load(), -1);
  EXPECT_TRUE(QTest::qWaitFor([&] {
    while (QLocalSocket* asking = busy.nextPendingConnection()) {
      asking->write("ok\n");
      asking->flush();
    }
    busy.waitForNewConnection(20);
    return outcome.load() != -1;
  }, 5000));
  start.join();
  EXPECT_EQ(outcome.load(), static_cast<int>(InstanceStart::kHandedOver));  // never a second instance
}

TEST(SingleInstance, AHolderThatNeverAnswersEndsTheStartWithAReason) {
  QString name = UniqueName() + "-mute";
  Leftovers leftovers{name};
  QLocalServer mute;
  ASSERT_TRUE(mute.listen(name));
  InstanceServer server;
  QString problem;
  EXPECT_EQ(BecomeTheInstance(server, name, 7, &problem, 400), InstanceStart::kFailed);
  EXPECT_EQ(problem, "another start holds " + name + " and does not answer");
}

// Sets an environment variable for one scope, or removes it (nullptr).
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name), had_(qEnvironmentVariableIsSet(name)), old_(qgetenv(name)) {
    value != nullptr ? qputenv(name, value) : qunsetenv(name);
  }
  ~ScopedEnv() { had_ ? qputenv(name_, old_) : qunsetenv(name_); }

 private:
  const char* name_;
  bool had_;
  QByteArray old_;
};

TEST(SingleInstance, TheNameLivesInAPrivateFolderOfTheUsersOwn) {
  QTemporaryDir scratch;
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv tmp("TMPDIR", scratch.path().toLocal8Bit().constData());
  ScopedEnv display("DISPLAY", ":0");
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  QString folder = scratch.path() + QString("/trovix-%1").arg(getuid());
  EXPECT_EQ(InstanceName(), folder + "/trovix-_0");
  struct stat st {};
  ASSERT_EQ(stat(folder.toLocal8Bit().constData(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  // Another user's folder, or one that others may enter, could be squatted: refused.
  ASSERT_TRUE(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner |
                                                QFileDevice::ReadOther | QFileDevice::WriteOther | QFileDevice::ExeOther));
  QString problem;
  EXPECT_EQ(InstanceName(&problem), "");
  EXPECT_EQ(problem, "cannot use " + folder + ": other users may enter it");
  ASSERT_TRUE(QDir(folder).removeRecursively());
  ASSERT_TRUE(QFile::link(scratch.path(), folder));
  EXPECT_EQ(InstanceName(&problem), "");
  EXPECT_EQ(problem, "cannot use " + folder + ": not a folder");
}

TEST(SingleInstance, ALongDisplayNameStillGivesANameToListenOn) {
  QTemporaryDir runtime;
  ASSERT_TRUE(QFile::setPermissions(runtime.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
  ScopedEnv folder("XDG_RUNTIME_DIR", runtime.path().toLocal8Bit().constData());
  ScopedEnv wayland("WAYLAND_DISPLAY", std::string(120, 'w').c_str());
  QString name = InstanceName();
  EXPECT_EQ(name.size(), runtime.path().size() + 8 + 32);  // "/trovix-" and a 32-digit hash
  InstanceServer server;
  QString problem;
  EXPECT_EQ(BecomeTheInstance(server, name, 0, &problem), InstanceStart::kRunWindow) << problem.toStdString();
}

TEST(SingleInstance, ALiveInstanceKeepsItsName) {
  QString name = UniqueName() + "-live";
  Leftovers leftovers{name};
  InstanceServer first;
  ASSERT_TRUE(first.Listen(name));
  InstanceServer second;
  EXPECT_FALSE(second.Listen(name));
}

TEST(SingleInstance, OfTwoStartsListeningAtOnceOnlyOneGetsTheName) {
  for (int round = 0; round < 40; ++round) {
    QString name = UniqueName() + QString("-race%1").arg(round);
    Leftovers leftovers{name};
    std::latch go(2);
    std::latch tried(2);
    std::atomic<int> listening{0};
    auto start = [&] {
      InstanceServer server;
      go.arrive_and_wait();
      if (server.Listen(name)) ++listening;
      tried.arrive_and_wait();  // the winner keeps the name until both have tried
    };
    std::unique_ptr<QThread> a(QThread::create(start)), b(QThread::create(start));
    a->start();
    b->start();
    a->wait();
    b->wait();
    ASSERT_EQ(listening.load(), 1) << "round " << round;
  }
}

TEST(SingleInstance, ANameLeftByADeadInstanceIsTakenOver) {
  // A process that died leaves its socket file behind with nobody listening on it.
  QString name = UniqueName() + "-stale";
  Leftovers leftovers{name};
  QByteArray path = (QDir::tempPath() + "/" + name).toLocal8Bit();
  int fd = socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
  ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  close(fd);
  ASSERT_TRUE(QFileInfo::exists(QString::fromLocal8Bit(path)));
  InstanceServer server;
  EXPECT_TRUE(server.Listen(name));
}

}  // namespace
}  // namespace trovix
