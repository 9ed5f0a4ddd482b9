#include "ui/single_instance.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <latch>
#include <memory>
#include <thread>
#include <vector>

#include "capture/atoi.h"
#include "ui/instance_socket.h"

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
    QFile::remove(QDir::tempPath() + "/" + name);
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

// A listening socket at `name` in the temporary folder that nobody answers: the system
// accepts connections to it.
OwnedFd Holder(const QString& name) {
  int error;
  return ListenAt((QDir::tempPath() + "/" + name).toStdString(), error);
}

TEST(SingleInstance, AServerThatNeverAnswersIsNoHandOver) {
  Leftovers leftovers{UniqueName() + "-silent"};
  OwnedFd silent = Holder(UniqueName() + "-silent");
  ASSERT_TRUE(silent);
  EXPECT_FALSE(HandOverToRunningInstance(UniqueName() + "-silent", 1, 300));
}

TEST(SingleInstance, AStartThatCanNeitherHandOverNorListenWaitsForTheAnswer) {
  QString name = UniqueName() + "-busy";
  Leftovers leftovers{name};
  OwnedFd busy = Holder(name);  // holds the name and answers only later, as a busy window would
  ASSERT_TRUE(busy);
  std::atomic<int> outcome{-1};
  std::thread start([&] {
    InstanceServer server;
    QString problem;
    outcome = static_cast<int>(BecomeTheInstance(server, name, 7, &problem));
  });
  QTest::qWait(700);  // several hand-overs time out meanwhile
  EXPECT_EQ(outcome.load(), -1);
  EXPECT_TRUE(QTest::qWaitFor([&] {
    for (int asking; (asking = accept4(busy.get(), nullptr, nullptr, SOCK_CLOEXEC)) >= 0; close(asking)) {
      EXPECT_EQ(write(asking, "ok\n", 3), 3);
    }
    return outcome.load() != -1;
  }, 5000));
  start.join();
  EXPECT_EQ(outcome.load(), static_cast<int>(InstanceStart::kHandedOver));  // never a second instance
}

TEST(SingleInstance, AHolderThatNeverAnswersEndsTheStartWithAReason) {
  QString name = UniqueName() + "-mute";
  Leftovers leftovers{name};
  OwnedFd mute = Holder(name);
  ASSERT_TRUE(mute);
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

// The host name this thread sees, for one scope: a namespace of its own.
class ScopedHostName {
 public:
  explicit ScopedHostName(const char* name) : saved_(open("/proc/thread-self/ns/uts", O_RDONLY | O_CLOEXEC)) {
    ok_ = saved_ >= 0 && unshare(CLONE_NEWUTS) == 0 && sethostname(name, std::strlen(name)) == 0;
  }
  ~ScopedHostName() {
    if (saved_ < 0) return;
    setns(saved_, CLONE_NEWUTS);
    close(saved_);
  }
  bool ok() const { return ok_; }

 private:
  int saved_;
  bool ok_ = false;
};

TEST(SingleInstance, TheNameLivesInAPrivateFolderOfTheUsersOwn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to hand a folder to another user and name the host";
  QTemporaryDir scratch;
  QString shared = scratch.path() + "/shared", cache = scratch.path() + "/cache", folder = cache + "/trovix";
  ASSERT_TRUE(QDir().mkpath(shared) && chmod(shared.toLocal8Bit().constData(), 0777) == 0);
  // The temporary folder's trovix-UID, made first by another user, is no obstacle.
  QString squatted = scratch.path() + QString("/trovix-%1").arg(getuid());
  ASSERT_TRUE(QDir().mkpath(squatted) && chown(squatted.toLocal8Bit().constData(), 65534, 65534) == 0);
  ScopedEnv runtime("XDG_RUNTIME_DIR", nullptr);
  ScopedEnv tmp("TMPDIR", scratch.path().toLocal8Bit().constData());
  ScopedEnv cacheHome("XDG_CACHE_HOME", cache.toLocal8Bit().constData());
  ScopedEnv display("DISPLAY", ":0");
  ScopedEnv wayland("WAYLAND_DISPLAY", nullptr);
  ScopedHostName host("tvx-host");
  ASSERT_TRUE(host.ok());
  EXPECT_EQ(InstanceName(), folder + "/trovix-tvx_host__0");
  for (const QString& made : {cache, folder}) {
    struct stat st {};
    ASSERT_EQ(stat(made.toLocal8Bit().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u) << made.toStdString();
  }

  // A runtime folder that others may enter is passed over; another user's folder, or a
  // link, could be squatted: refused.
  ScopedEnv runtimeShared("XDG_RUNTIME_DIR", shared.toLocal8Bit().constData());
  EXPECT_EQ(InstanceName(), folder + "/trovix-tvx_host__0");
  ASSERT_EQ(chown(folder.toLocal8Bit().constData(), 65534, 65534), 0);
  QString problem;
  EXPECT_EQ(InstanceName(&problem), "");
  EXPECT_EQ(problem, "cannot use " + shared + ": other users may enter it; cannot use " + folder +
                         ": it belongs to another user");
  ASSERT_TRUE(QDir(folder).removeRecursively());
  ASSERT_TRUE(QFile::link(scratch.path(), folder));
  ScopedEnv runtimeNone("XDG_RUNTIME_DIR", nullptr);
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

// A start's end of the socket, as a start of another build or a hostile one could use it.
int Connected(const QByteArray& path) {
  int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.constData(), sizeof address.sun_path - 1);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Whether the window has closed `fd`'s connection, after reading what it sent.
bool ClosedByTheWindow(int fd) {
  char bytes[16];
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, 0) == 1 && recv(fd, bytes, sizeof bytes, MSG_DONTWAIT) == 0;
}

int OpenDescriptors() { return static_cast<int>(QDir("/proc/self/fd").entryList(QDir::Files | QDir::System).size()); }

TEST(SingleInstance, OnlyAMessageOfOneDescriptorHandsOneOverAndNoneIsKeptOtherwise) {
  QTemporaryDir folder;
  QString name = folder.path() + "/instance";
  InstanceServer server;
  ASSERT_TRUE(server.Listen(name));
  int handed = 0;
  QObject::connect(&server, &InstanceServer::streamHandedOver, [&](int fd) {
    ++handed;
    close(fd);
  });
  for (int sent : {1, 2, 5}) {  // room is made for 4: five arrive cut short
    QTest::qWait(20);
    int before = OpenDescriptors();
    handed = 0;
    int start = Connected(name.toLocal8Bit());
    ASSERT_GE(start, 0);
    char ok[3];
    ASSERT_EQ(write(start, "stdin\n", 6), 6);
    ASSERT_TRUE(QTest::qWaitFor([&] { return recv(start, ok, 3, MSG_DONTWAIT) == 3; }, 3000));
    std::vector<int> fds;
    for (int i = 0; i < sent; ++i) fds.push_back(open("/dev/null", O_RDONLY | O_CLOEXEC));
    char byte = 0;
    iovec io{&byte, 1};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int) * 5)] = {};
    msghdr m{};
    m.msg_iov = &io;
    m.msg_iovlen = 1;
    m.msg_control = control;
    m.msg_controllen = CMSG_SPACE(sizeof(int) * fds.size());
    cmsghdr* c = CMSG_FIRSTHDR(&m);
    *c = cmsghdr{CMSG_LEN(sizeof(int) * fds.size()), SOL_SOCKET, SCM_RIGHTS};
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    ASSERT_EQ(sendmsg(start, &m, 0), 1);
    for (int fd : fds) close(fd);
    EXPECT_TRUE(QTest::qWaitFor([&] { return ClosedByTheWindow(start); }, 3000)) << sent;
    close(start);
    QTest::qWait(20);
    EXPECT_EQ(handed, sent == 1 ? 1 : 0) << sent;
    EXPECT_EQ(OpenDescriptors(), before) << sent << " descriptors sent";
  }
}

TEST(SingleInstance, EachConnectionIsHeardForAWhileAndOnlyAFewAtOnce) {
  QTemporaryDir folder;
  QString name = folder.path() + "/instance";
  InstanceServer server(nullptr, 300);
  ASSERT_TRUE(server.Listen(name));
  // A start that asks to hand over its standard input and never sends it.
  int asking = Connected(name.toLocal8Bit());
  char ok[3];
  ASSERT_EQ(write(asking, "stdin\n", 6), 6);
  ASSERT_TRUE(QTest::qWaitFor([&] { return recv(asking, ok, 3, MSG_DONTWAIT) == 3; }, 3000));
  std::vector<int> silent;
  for (int i = 0; i < 10; ++i) silent.push_back(Connected(name.toLocal8Bit()));
  QTest::qWait(100);
  auto closed = [&] { return std::count_if(silent.begin(), silent.end(), ClosedByTheWindow); };
  EXPECT_EQ(closed(), 3) << "eight at a time";
  EXPECT_FALSE(ClosedByTheWindow(asking));
  EXPECT_TRUE(QTest::qWaitFor([&] { return closed() == 10 && ClosedByTheWindow(asking); }, 3000));
  for (int fd : silent) close(fd);
  close(asking);
  QList<int> heard;
  QObject::connect(&server, &InstanceServer::handedOver, [&](int v) { heard << v; });
  std::thread later([&] { EXPECT_TRUE(HandOverToRunningInstance(name, 9, 3000)); });
  EXPECT_TRUE(QTest::qWaitFor([&] { return !heard.isEmpty(); }, 3000));
  later.join();
  EXPECT_EQ(heard, QList<int>({9}));
}

// Raises CAP_DAC_OVERRIDE, kept through the change of user, so that the socket's
// permissions do not stop the start: only the check of the peer's user can.
bool OverrideFilePermissions() {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
  data[0].permitted = data[0].effective = CAP_TO_MASK(CAP_DAC_OVERRIDE);
  return syscall(SYS_capset, &header, data) == 0;
}

TEST(SingleInstance, AStartOfAnotherUserIsNotHeard) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  QTemporaryDir folder;
  QString name = folder.path() + "/instance";
  InstanceServer server;
  ASSERT_TRUE(server.Listen(name));
  QList<int> heard;
  QObject::connect(&server, &InstanceServer::handedOver, [&](int v) { heard << v; });
  QByteArray path = name.toLocal8Bit();
  pid_t pid = fork();
  if (pid == 0) {
    if (prctl(PR_SET_KEEPCAPS, 1) != 0 || setresuid(65534, 65534, 65534) != 0 || !OverrideFilePermissions()) _exit(3);
    int start = Connected(path);
    if (start < 0) _exit(4);
    char answer[3] = {};
    _exit(write(start, "42\n", 3) == 3 && read(start, answer, 3) == 3 ? 0 : 1);  // 0: answered
  }
  int status = -1;
  ASSERT_TRUE(QTest::qWaitFor([&] { return waitpid(pid, &status, WNOHANG) == pid; }, 5000));
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1) << "0: answered, 3: could not become nobody, 4: could not connect";
  EXPECT_TRUE(heard.isEmpty());
}

}  // namespace
}  // namespace trovix
