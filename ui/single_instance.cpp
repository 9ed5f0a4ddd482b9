#include "ui/single_instance.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>

#include "capture/atoi.h"

namespace trovix {
namespace {

constexpr const char* kAnswer = "ok\n";
constexpr int kRetryPauseMs = 50;

// An exclusive lock on a file beside the socket, held for the lifetime of the object. The
// system drops it when the holder dies. A lock file that cannot be opened (another user
// made it) leaves the step unguarded rather than stopping the program.
class NameLock {
 public:
  explicit NameLock(const QString& name) {
    QByteArray path = QFile::encodeName(QDir::tempPath() + QLatin1Char('/') + name + QStringLiteral(".lock"));
    fd_ = open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    while (fd_ >= 0 && flock(fd_, LOCK_EX) != 0 && errno == EINTR) {
    }
  }
  ~NameLock() {
    if (fd_ >= 0) close(fd_);
  }
  NameLock(const NameLock&) = delete;
  NameLock& operator=(const NameLock&) = delete;

 private:
  int fd_;
};

}  // namespace

QString InstanceName() {
  QString display = qEnvironmentVariable("WAYLAND_DISPLAY", qEnvironmentVariable("DISPLAY"));
  for (QChar& c : display) {
    if (!c.isLetterOrNumber()) c = QLatin1Char('_');
  }
  return QStringLiteral("trovix-%1-%2").arg(getuid()).arg(display);
}

bool HandOverToRunningInstance(const QString& name, int value, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(deadline.remainingTime())) return false;
  socket.write(QByteArray::number(value) + '\n');
  socket.flush();
  // The running window answers once it has handled the request; until then nothing is done.
  while (!socket.canReadLine()) {
    if (deadline.hasExpired() || !socket.waitForReadyRead(deadline.remainingTime())) return false;
  }
  return socket.readLine(8) == kAnswer;
}

InstanceServer::InstanceServer(QObject* parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::Accept);
}

bool InstanceServer::Listen(const QString& name) {
  // Look, remove and listen as one step: otherwise two starts can both find the name free,
  // and the later one removes the socket file the earlier one listens on.
  NameLock lock(name);
  // Listening with access options replaces an existing socket file, so look first.
  QLocalSocket probe;
  probe.connectToServer(name);
  if (probe.waitForConnected(500)) return false;  // a live instance holds the name
  QLocalServer::removeServer(name);               // a file left by one that died
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  return server_.listen(name);
}

void InstanceServer::Accept() {
  while (QLocalSocket* client = server_.nextPendingConnection()) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
      if (!client->canReadLine()) return;
      QByteArray line = client->readLine(64);
      emit handedOver(static_cast<int>(AtoiValue(std::string_view(line.constData(), static_cast<size_t>(line.size())))));
      client->write(kAnswer);
      client->flush();
      client->disconnectFromServer();
    });
  }
}

bool BecomeTheInstance(InstanceServer& server, const QString& name, int value, int answerTimeoutMs) {
  for (;;) {
    if (HandOverToRunningInstance(name, value, answerTimeoutMs)) return false;
    if (server.Listen(name)) return true;
    // The name is held but the hand-over failed: an instance that is still starting, busy,
    // or just ending. Ask again.
    QThread::msleep(kRetryPauseMs);
  }
}

}  // namespace trovix
