#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <sys/socket.h>
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
    outcome = BecomeTheInstance(server, name, 7, 200) ? 1 : 0;
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
  EXPECT_EQ(outcome.load(), 0);  // handed over; never a second instance
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
