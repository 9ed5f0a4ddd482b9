// One main window per user and display: a local socket named for the display, in a folder
// that only the user can enter. A second start hands the running window its command
// line's number, a capture file's name or a stream's descriptor, and ends.
#pragma once

#include <QObject>
#include <QString>

#include <string>

#include "ui/instance_socket.h"

class QSocketNotifier;

namespace trovix {

// The socket's path for this user and display: in $XDG_RUNTIME_DIR, or without a private
// one there, in a folder "trovix" of the user's cache folder, made 0700 when missing, and
// then named for the host too (a home folder may be shared by several machines). Empty,
// with the reason in `problem`, when neither is a private folder of the user's own where
// such a socket fits: another user could take the name there, or block it.
QString InstanceName(QString* problem = nullptr);

// What a start hands over: its command line's number, a capture file to open (an absolute
// path: the running window's working folder is another), or a descriptor of a stream to
// read, which the running window receives as a copy of its own: standard input (no name),
// or a file the start opened itself because its name means something in the start's own
// process only (/dev/stdin, /dev/fd/N).
struct HandOver {
  HandOver(int value) : value(value) {}  // NOLINT: a number is what most starts hand over
  static HandOver File(const QString& absolutePath) {
    HandOver h(0);
    h.file = absolutePath;
    return h;
  }
  static HandOver Stream(int fd, const QString& name = QString()) {
    HandOver h(0);
    h.streamFd = fd;
    h.streamName = name;
    return h;
  }
  int value;
  QString file;
  int streamFd = -1;
  QString streamName;
};

// Sends `value` to a running instance and waits up to `timeoutMs` for its answer. True
// only when it answered; false when none runs or it did not answer in time.
bool HandOverToRunningInstance(const QString& name, const HandOver& value, int timeoutMs = 5000);

// The running window's end of the socket, watched on the thread that made it. Each start
// that connects is heard out within `connectionMs`, and at most a few at a time; one of
// another user is refused.
class InstanceServer : public QObject {
  Q_OBJECT

 public:
  explicit InstanceServer(QObject* parent = nullptr, int connectionMs = 3000);
  ~InstanceServer() override;
  // Starts listening unless a live instance holds the name; takes over a name left behind
  // by an instance that died. Of starts that try at the same time, only one listens.
  bool Listen(const QString& name);
  // Why the last Listen failed; empty when a live instance holds the name.
  const QString& ListenError() const { return listenError_; }

 signals:
  void handedOver(int value);
  void fileHandedOver(const QString& path);
  // A start's stream to read: `fd` is the window's to close; `name` is empty for the
  // start's standard input.
  void streamHandedOver(int fd, const QString& name);

 private:
  class Connection;
  void Accept();
  void Hear(Connection* connection);
  void Drop(Connection* connection);
  OwnedFd listener_;
  QSocketNotifier* listening_ = nullptr;
  std::string path_;
  int connectionMs_;
  int connections_ = 0;
  QString listenError_;
};

enum class InstanceStart { kRunWindow, kHandedOver, kFailed };

// Hands `value` over to the running instance, or becomes it by listening on `server`.
// While a live instance holds the name without answering, this keeps trying, for
// `giveUpMs` in all: a start never becomes a second instance, and never waits for ever.
// After kFailed, `problem` says why.
InstanceStart BecomeTheInstance(InstanceServer& server, const QString& name, const HandOver& value, QString* problem,
                                int giveUpMs = 3000);

}  // namespace trovix
