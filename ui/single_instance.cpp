#include "ui/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "capture/atoi.h"
#include "settings/config_folder.h"

namespace trovix {
namespace {

constexpr char kAnswer[] = "ok\n";
constexpr int kRetryPauseMs = 50;
// A request line: a number, "open " and a percent-encoded path, "stdin", or "stream " and
// the percent-encoded name of a stream whose descriptor follows the answer, as stdin's does.
constexpr size_t kRequestMax = 16384;
constexpr const char* kOpenRequest = "open ";
constexpr const char* kStreamRequest = "stdin\n";
constexpr const char* kNamedStreamRequest = "stream ";
// Starts heard out at once; more are closed as they arrive, and their starts ask again.
constexpr int kConnectionsMax = 8;
// Without a descriptor to spare the listener stays readable: it rests rather than spin.
constexpr int kNoDescriptorPauseMs = 200;
// Display names are the user's to choose; a socket path has room for 107 bytes.
constexpr int kDisplayPartMax = 32;
constexpr size_t kSocketPathMax = 107;

QByteArray RequestLine(const HandOver& h) {
  if (h.streamFd >= 0 && h.streamName.isEmpty()) return kStreamRequest;
  if (h.streamFd >= 0) return kNamedStreamRequest + h.streamName.toUtf8().toPercentEncoding("/") + '\n';
  if (!h.file.isEmpty()) return kOpenRequest + h.file.toUtf8().toPercentEncoding("/") + '\n';
  return QByteArray::number(h.value) + '\n';
}

QString PercentDecoded(const QByteArray& line, const char* request) {
  return QString::fromUtf8(QByteArray::fromPercentEncoding(line.mid(qsizetype(std::strlen(request))).chopped(1)));
}

// A name without a folder lives in the temporary folder.
std::string SocketPath(const QString& name) { return QFile::encodeName(QDir(QDir::tempPath()).filePath(name)).toStdString(); }

// Waits until `fd` is ready for `events` or the deadline passes.
bool Await(int fd, short events, const QDeadlineTimer& deadline) {
  pollfd p{fd, events, 0};
  int ready;
  do {
    ready = poll(&p, 1, static_cast<int>(std::max<qint64>(deadline.remainingTime(), 0)));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

bool SendAll(int fd, const QByteArray& bytes, const QDeadlineTimer& deadline) {
  for (qsizetype sent = 0; sent < bytes.size();) {
    ssize_t n = send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += n;
    else if (n < 0 && errno != EAGAIN && errno != EINTR) return false;
    else if (!Await(fd, POLLOUT, deadline)) return false;
  }
  return true;
}

// The answer fits an empty socket buffer: it never waits.
bool Answer(int fd) { return send(fd, kAnswer, std::strlen(kAnswer), MSG_NOSIGNAL | MSG_DONTWAIT) > 0; }

// The running window's answer line, at most a few bytes.
bool AnsweredOk(int fd, const QDeadlineTimer& deadline) {
  std::string answer;
  char byte;
  while (answer.size() < sizeof kAnswer && answer.find('\n') == std::string::npos) {
    ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    if (n == 1) answer += byte;
    else if (n == 0 || (errno != EAGAIN && errno != EINTR) || !Await(fd, POLLIN, deadline)) return false;
  }
  return answer == kAnswer;
}

// An exclusive lock on a file beside the socket, held for the lifetime of the object. The
// system drops it when the holder dies. A lock file that cannot be opened (another user
// made it) leaves the step unguarded rather than stopping the program.
class NameLock {
 public:
  explicit NameLock(const std::string& path) {
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
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

// The display, as a part of a file name that fits a socket path.
QString DisplayPart(const QString& host) {
  QString part = qEnvironmentVariable("WAYLAND_DISPLAY", qEnvironmentVariable("DISPLAY"));
  if (!host.isEmpty()) part = host + QLatin1Char('-') + part;
  for (QChar& c : part) {
    if (!c.isLetterOrNumber()) c = QLatin1Char('_');
  }
  if (part.size() <= kDisplayPartMax) return part;
  return QString::fromLatin1(QCryptographicHash::hash(part.toUtf8(), QCryptographicHash::Sha256).toHex().left(kDisplayPartMax));
}

// The socket's name in `folder`, or empty with the reason added to `why`.
QString NameIn(const QString& folder, const QString& host, QStringList& why) {
  QString reason = NotPrivate(folder);
  QString name = folder + QStringLiteral("/trovix-") + DisplayPart(host);
  if (reason.isEmpty() && size_t(QFile::encodeName(name).size()) > kSocketPathMax) {
    reason = QStringLiteral("its path is too long for a socket");
  }
  if (reason.isEmpty()) return name;
  why << QStringLiteral("cannot use %1: %2").arg(folder, reason);
  return {};
}

QString HostName() {
  char host[256] = {};
  return gethostname(host, sizeof host - 1) == 0 ? QString::fromLocal8Bit(host) : QStringLiteral("localhost");
}

}  // namespace

QString InstanceName(QString* problem) {
  QStringList why;
  QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
  if (runtime.startsWith(QLatin1Char('/'))) {
    if (QString name = NameIn(runtime, QString(), why); !name.isEmpty()) return name;
  }
  if (std::optional<std::string> cache = UserCacheFolder()) {
    // Made when missing; an existing one is checked.
    mkdir(cache->c_str(), 0700);
    QString folder = QFile::decodeName(cache->c_str()) + QStringLiteral("/trovix");
    mkdir(QFile::encodeName(folder).constData(), 0700);
    if (QString name = NameIn(folder, HostName(), why); !name.isEmpty()) return name;
  } else {
    why << QStringLiteral("no home folder to hold a cache folder");
  }
  if (problem != nullptr) *problem = why.join(QStringLiteral("; "));
  return {};
}

bool HandOverToRunningInstance(const QString& name, const HandOver& value, int timeoutMs) {
  QDeadlineTimer deadline(timeoutMs);
  int error;
  OwnedFd socket = ConnectTo(SocketPath(name), error);
  // Nothing of the start's goes to another user's window.
  if (!socket || !PeerIsOwnUser(socket.get())) return false;
  // The running window answers once it has handled the request; until then nothing is done.
  if (!SendAll(socket.get(), RequestLine(value), deadline) || !AnsweredOk(socket.get(), deadline)) return false;
  return value.streamFd < 0 || SendDescriptor(socket.get(), value.streamFd);
}

// One start being heard: its request, then for a stream the descriptor after the answer.
class InstanceServer::Connection : public QObject {
 public:
  Connection(OwnedFd fd, InstanceServer* server, int ms)
      : QObject(server), fd(std::move(fd)), notifier(this->fd.get(), QSocketNotifier::Read) {
    timer.setSingleShot(true);
    timer.start(ms);
  }
  OwnedFd fd;
  QSocketNotifier notifier;
  QTimer timer;
  std::string request;
  bool awaitingStream = false;
  QString streamName;
};

InstanceServer::InstanceServer(QObject* parent, int connectionMs) : QObject(parent), connectionMs_(connectionMs) {}

InstanceServer::~InstanceServer() {
  // The name goes before the socket closes: a start in between finds no name and listens,
  // rather than finding a dead socket and removing another's.
  if (listener_) unlink(path_.c_str());
}

bool InstanceServer::Listen(const QString& name) {
  // Look, remove and listen as one step: otherwise two starts can both find the name free,
  // and the later one removes the socket file the earlier one listens on.
  listenError_.clear();
  std::string path = SocketPath(name);
  NameLock lock(path + ".lock");
  int error;
  if (ConnectTo(path, error) || error == EAGAIN) return false;  // a live instance holds the name
  unlink(path.c_str());                                         // a file left by one that died
  listener_ = ListenAt(path, error);
  if (!listener_) {
    listenError_ = QString::fromLocal8Bit(std::strerror(error));
    return false;
  }
  path_ = path;
  listening_ = new QSocketNotifier(listener_.get(), QSocketNotifier::Read, this);
  connect(listening_, &QSocketNotifier::activated, this, &InstanceServer::Accept);
  return true;
}

void InstanceServer::Accept() {
  for (;;) {
    OwnedFd fd(accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      if (errno == EMFILE || errno == ENFILE) {
        listening_->setEnabled(false);
        QTimer::singleShot(kNoDescriptorPauseMs, listening_, [notifier = listening_] { notifier->setEnabled(true); });
      }
      return;
    }
    if (connections_ >= kConnectionsMax || !PeerIsOwnUser(fd.get())) continue;  // closed here
    ++connections_;
    auto* connection = new Connection(std::move(fd), this, connectionMs_);
    connect(&connection->notifier, &QSocketNotifier::activated, this, [this, connection] { Hear(connection); });
    connect(&connection->timer, &QTimer::timeout, this, [this, connection] { Drop(connection); });
  }
}

void InstanceServer::Hear(Connection* connection) {
  char bytes[512];
  Received got = ReceiveSome(connection->fd.get(), bytes, connection->awaitingStream ? 1 : sizeof bytes);
  if (got.bytes < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (got.bytes <= 0 || connection->awaitingStream) {
    QString name = connection->streamName;
    bool stream = connection->awaitingStream && got.fd;
    Drop(connection);
    if (stream) emit streamHandedOver(got.fd.Release(), name);
    return;
  }
  // A descriptor sent with the request is not one asked for: it closes with `got`.
  connection->request.append(bytes, size_t(got.bytes));
  size_t end = connection->request.find('\n');
  if (end == std::string::npos) {
    if (connection->request.size() > kRequestMax) Drop(connection);  // no request is that long
    return;
  }
  QByteArray line(connection->request.data(), qsizetype(end + 1));
  if (line == kStreamRequest || line.startsWith(kNamedStreamRequest)) {
    connection->streamName = line == kStreamRequest ? QString() : PercentDecoded(line, kNamedStreamRequest);
    connection->awaitingStream = true;
    if (!Answer(connection->fd.get())) Drop(connection);
    return;
  }
  // What the window does with the request may wait in a loop of its own: nothing more of
  // this connection is heard meanwhile.
  connection->notifier.setEnabled(false);
  connection->timer.stop();
  if (line.startsWith(kOpenRequest)) {
    emit fileHandedOver(PercentDecoded(line, kOpenRequest));
  } else {
    emit handedOver(static_cast<int>(AtoiValue(std::string_view(line.constData(), size_t(line.size())))));
  }
  Answer(connection->fd.get());  // a start that has gone needs none
  Drop(connection);
}

void InstanceServer::Drop(Connection* connection) {
  if (!connection->fd) return;
  connection->notifier.setEnabled(false);
  connection->timer.stop();
  connection->fd.Reset();
  --connections_;
  connection->deleteLater();
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
