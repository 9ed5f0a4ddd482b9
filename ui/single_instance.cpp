#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QLocalSocket>
#include <QSocketNotifier>
#include <QThread>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/atoi.h"

namespace trovix {
namespace {

constexpr const char* kAnswer = "ok\n";
constexpr int kRetryPauseMs = 50;
// A request line: a number, "open " and a percent-encoded path, or "stdin".
constexpr qint64 kRequestMax = 16384;
constexpr const char* kOpenRequest = "open ";
constexpr const char* kStreamRequest = "stdin\n";

QByteArray RequestLine(const HandOver& h) {
  if (h.streamFd >= 0) return kStreamRequest;
  if (!h.file.isEmpty()) return kOpenRequest + h.file.toUtf8().toPercentEncoding("/") + '\n';
  return QByteArray::number(h.value) + '\n';
}

// One byte and room for one descriptor, as sendmsg and recvmsg take them.
struct OneByteMessage {
  char byte = 0;
  iovec io{&byte, 1};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
  msghdr header{};
  OneByteMessage() {
    header.msg_iov = &io;
    header.msg_iovlen = 1;
    header.msg_control = control;
    header.msg_controllen = sizeof control;
  }
  OneByteMessage(const OneByteMessage&) = delete;
  OneByteMessage& operator=(const OneByteMessage&) = delete;
};

// One byte with the descriptor attached.
bool SendDescriptor(int socket, int fd) {
  OneByteMessage m;
  cmsghdr* c = CMSG_FIRSTHDR(&m.header);
  c->cmsg_level = SOL_SOCKET;
  c->cmsg_type = SCM_RIGHTS;
  c->cmsg_len = CMSG_LEN(sizeof(int));
  std::memcpy(CMSG_DATA(c), &fd, sizeof fd);
  return sendmsg(socket, &m.header, MSG_NOSIGNAL) == 1;
}

// The descriptor sent with one byte; -1 for none.
int ReceiveDescriptor(int socket) {
  OneByteMessage m;
  if (recvmsg(socket, &m.header, MSG_CMSG_CLOEXEC | MSG_DONTWAIT) != 1) return -1;
  cmsghdr* c = CMSG_FIRSTHDR(&m.header);
  if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS || c->cmsg_len != CMSG_LEN(sizeof(int))) {
    return -1;  // more descriptors than one would arrive cut (MSG_CTRUNC) and are closed
  }
  int fd;
  std::memcpy(&fd, CMSG_DATA(c), sizeof fd);
  return fd;
}
// Display names are the user's to choose; a socket path has room for 107 bytes.
constexpr int kDisplayPartMax = 32;

// An exclusive lock on a file beside the socket, held for the lifetime of the object. The
// system drops it when the holder dies. A lock file that cannot be opened (another user
// made it) leaves the step unguarded rather than stopping the program.
class NameLock {
 public:
  explicit NameLock(const QString& name) {
    QByteArray path = QFile::encodeName(QDir(QDir::tempPath()).filePath(name) + QStringLiteral(".lock"));
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

// Why `folder` is not a private folder of this user's own: not a folder (a link, say),
// another user's, or open to others.
QString NotPrivate(const QString& folder) {
  struct stat st {};
  if (lstat(QFile::encodeName(folder).constData(), &st) != 0) return QString::fromLocal8Bit(std::strerror(errno));
  if (!S_ISDIR(st.st_mode)) return QStringLiteral("not a folder");
  if (st.st_uid != getuid()) return QStringLiteral("it belongs to another user");
  if ((st.st_mode & 077) != 0) return QStringLiteral("other users may enter it");
  return {};
}

}  // namespace

QString InstanceName(QString* problem) {
  QString folder = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (!folder.startsWith(QLatin1Char('/'))) {
    folder = QDir(QDir::tempPath()).filePath(QStringLiteral("trovix-%1").arg(getuid()));
    mkdir(QFile::encodeName(folder).constData(), 0700);  // an existing one is checked below
  }
  if (QString why = NotPrivate(folder); !why.isEmpty()) {
    if (problem != nullptr) *problem = QStringLiteral("cannot use %1: %2").arg(folder, why);
    return {};
  }
  QString display = qEnvironmentVariable("WAYLAND_DISPLAY", qEnvironmentVariable("DISPLAY"));
  for (QChar& c : display) {
    if (!c.isLetterOrNumber()) c = QLatin1Char('_');
  }
  if (display.size() > kDisplayPartMax) {
    display = QString::fromLatin1(QCryptographicHash::hash(display.toUtf8(), QCryptographicHash::Sha256).toHex().left(kDisplayPartMax));
  }
  return folder + QStringLiteral("/trovix-") + display;
}

bool HandOverToRunningInstance(const QString& name, const HandOver& value, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(deadline.remainingTime())) return false;
  socket.write(RequestLine(value));
  socket.flush();
  // The running window answers once it has handled the request; until then nothing is done.
  while (!socket.canReadLine()) {
    if (deadline.hasExpired() || !socket.waitForReadyRead(deadline.remainingTime())) return false;
  }
  if (socket.readLine(8) != kAnswer) return false;
  return value.streamFd < 0 || SendDescriptor(static_cast<int>(socket.socketDescriptor()), value.streamFd);
}

InstanceServer::InstanceServer(QObject* parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::Accept);
}

bool InstanceServer::Listen(const QString& name) {
  // Look, remove and listen as one step: otherwise two starts can both find the name free,
  // and the later one removes the socket file the earlier one listens on.
  listenError_.clear();
  NameLock lock(name);
  // Listening with access options replaces an existing socket file, so look first.
  QLocalSocket probe;
  probe.connectToServer(name);
  if (probe.waitForConnected(500)) return false;  // a live instance holds the name
  QLocalServer::removeServer(name);               // a file left by one that died
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  if (server_.listen(name)) return true;
  listenError_ = server_.errorString();
  return false;
}

void InstanceServer::Accept() {
  while (QLocalSocket* client = server_.nextPendingConnection()) {
    connect(client, &QLocalSocket::disconnected, client, &QObject::deleteLater);
    connect(client, &QLocalSocket::readyRead, this, [this, client] {
      if (!client->canReadLine()) {
        if (client->bytesAvailable() > kRequestMax) client->abort();  // no request is that long
        return;
      }
      QByteArray line = client->readLine(kRequestMax + 1);
      if (line == kStreamRequest) {
        // The descriptor comes after the answer, read here past Qt's buffer.
        int connection = fcntl(static_cast<int>(client->socketDescriptor()), F_DUPFD_CLOEXEC, 0);
        client->abort();
        if (connection < 0) return;
        if (write(connection, kAnswer, std::strlen(kAnswer)) < 0) {
          close(connection);
          return;
        }
        ReceiveStream(connection);
        return;
      }
      if (line.startsWith(kOpenRequest) && line.endsWith('\n')) {
        line.chop(1);
        emit fileHandedOver(QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(std::strlen(kOpenRequest)))));
      } else {
        emit handedOver(static_cast<int>(AtoiValue(std::string_view(line.constData(), static_cast<size_t>(line.size())))));
      }
      client->write(kAnswer);
      client->flush();
      client->disconnectFromServer();
    });
  }
}

void InstanceServer::ReceiveStream(int connection) {
  auto* notifier = new QSocketNotifier(connection, QSocketNotifier::Read, this);
  connect(notifier, &QSocketNotifier::activated, this, [this, notifier, connection] {
    int fd = ReceiveDescriptor(connection);  // or the start ended without sending one
    notifier->deleteLater();
    notifier->setEnabled(false);
    close(connection);
    if (fd >= 0) emit streamHandedOver(fd);
  });
}

InstanceStart BecomeTheInstance(InstanceServer& server, const QString& name, const HandOver& value, QString* problem,
                                int giveUpMs) {
  QDeadlineTimer deadline(giveUpMs);
  for (;;) {
    if (HandOverToRunningInstance(name, value, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 1)))) {
      return InstanceStart::kHandedOver;
    }
    if (server.Listen(name)) return InstanceStart::kRunWindow;
    // The name is held but the hand-over failed: an instance that is still starting, busy,
    // or just ending. Ask again, for a while.
    if (deadline.hasExpired()) {
      *problem = server.ListenError().isEmpty()
                     ? QStringLiteral("another start holds %1 and does not answer").arg(name)
                     : QStringLiteral("cannot listen on %1: %2").arg(name, server.ListenError());
      return InstanceStart::kFailed;
    }
    QThread::msleep(kRetryPauseMs);
  }
}

}  // namespace trovix
