#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTest>

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
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

TEST(SingleInstance, ASecondStartHandsOverAndTheFirstHearsIt) {
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

TEST(SingleInstance, ALiveInstanceKeepsItsName) {
  QString name = UniqueName() + "-live";
  InstanceServer first;
  ASSERT_TRUE(first.Listen(name));
  InstanceServer second;
  EXPECT_FALSE(second.Listen(name));
}

TEST(SingleInstance, ANameLeftByADeadInstanceIsTakenOver) {
  // A process that died leaves its socket file behind with nobody listening on it.
  QString name = UniqueName() + "-stale";
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
