// The program itself, started twice: the second start hands over and ends.
#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <unistd.h>

namespace {

QProcessEnvironment Environment(const QString& display) {
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("DISPLAY", display);  // a display of its own keeps it apart from any real one
  env.remove("WAYLAND_DISPLAY");
  return env;
}

TEST(ProgramEntry, SecondStartHandsOverAndExitsZeroWhileTheFirstRuns) {
  QString display = QString(":trovix-test-%1").arg(getpid());
  QString socket = QDir::tempPath() + QString("/trovix-%1-_trovix_test_%2").arg(getuid()).arg(getpid());
  QProcess first;
  first.setProcessEnvironment(Environment(display));
  first.start(TROVIX_BINARY, {});
  ASSERT_TRUE(first.waitForStarted());
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(socket); }, 10000)) << socket.toStdString();

  for (const char* commandLine : {"42", "  -7 and more", "words"}) {
    QProcess second;
    second.setProcessEnvironment(Environment(display));
    second.start(TROVIX_BINARY, {commandLine});
    ASSERT_TRUE(second.waitForFinished(10000)) << commandLine;
    EXPECT_EQ(second.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(second.exitCode(), 0);
    EXPECT_EQ(first.state(), QProcess::Running) << "the first instance must keep running";
  }
  first.terminate();
  first.waitForFinished(5000);
}

}  // namespace
