// One main window per user and display: a local socket named for the display, in a folder
// that only the user can enter. A second start hands the running window its command
// line's number, a capture file's name or its standard input, and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace trovix {

// The socket's path for this user and display: in $XDG_RUNTIME_DIR, or without it in a
// folder "trovix-UID" of the temporary folder, made 0700 when missing. Empty, with the
// reason in `problem`, when that folder is not a private folder of the user's own: another
// user could take the name there, or block it.
QString InstanceName(QString* problem = nullptr);

// What a start hands over: its command line's number, a capture file to open (an absolute
// path: the running window's working folder is another), or a descriptor of a stream to
// read (its standard input), which the running window receives as a copy of its own.
struct HandOver {
  HandOver(int value) : value(value) {}  // NOLINT: a number is what most starts hand over
  static HandOver File(const QString& absolutePath) {
    HandOver h(0);
    h.file = absolutePath;
    return h;
  }
  static HandOver Stream(int fd) {
    HandOver h(0);
    h.streamFd = fd;
    return h;
  }
  int value;
  QString file;
  int streamFd = -1;
};

// Sends `value` to a running instance and waits up to `timeoutMs` for its answer. True
// only when it answered; false when none runs or it did not answer in time.
bool HandOverToRunningInstance(const QString& name, const HandOver& value, int timeoutMs = 5000);

class InstanceServer : public QObject {
  Q_OBJECT

 public:
  explicit InstanceServer(QObject* parent = nullptr);
  // Starts listening unless a live instance holds the name; takes over a name left behind
  // by an instance that died. Of starts that try at the same time, only one listens.
  bool Listen(const QString& name);
  // Why the last Listen failed; empty when a live instance holds the name.
  const QString& ListenError() const { return listenError_; }

 signals:
  void handedOver(int value);
  void fileHandedOver(const QString& path);
  // A start's stream to read: `fd` is the window's to close.
  void streamHandedOver(int fd);

 private:
  void Accept();
  // Takes the descriptor a start sends after its "stdin" request was answered.
  void ReceiveStream(int connection);
  QLocalServer server_;
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
