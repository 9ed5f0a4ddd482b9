// One main window per user and display: a local socket named for both. A second start
// hands the running window its command line's number and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace trovix {

// The socket name for this user and display.
QString InstanceName();

// Sends `value` to a running instance and waits up to `timeoutMs` for its answer. True
// only when it answered; false when none runs or it did not answer in time.
bool HandOverToRunningInstance(const QString& name, int value, int timeoutMs = 5000);

class InstanceServer : public QObject {
  Q_OBJECT

 public:
  explicit InstanceServer(QObject* parent = nullptr);
  // Starts listening unless a live instance holds the name; takes over a name left behind
  // by an instance that died. Of starts that try at the same time, only one listens.
  bool Listen(const QString& name);

 signals:
  void handedOver(int value);

 private:
  void Accept();
  QLocalServer server_;
};

// Hands `value` over to the running instance, or becomes it by listening on `server`.
// True when this process is now the instance and runs the window; false after a hand-over.
// While a live instance holds the name without answering, this keeps trying: a start never
// becomes a second instance.
bool BecomeTheInstance(InstanceServer& server, const QString& name, int value, int answerTimeoutMs = 5000);

}  // namespace trovix
