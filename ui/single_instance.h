// One main window per user and display: a local socket named for both. A second start
// hands the running window its command line's number and ends.
#pragma once

#include <QLocalServer>
#include <QObject>
#include <QString>

namespace trovix {

// The socket name for this user and display.
QString InstanceName();

// Sends `value` to a running instance and waits for its answer. False when none runs.
bool HandOverToRunningInstance(const QString& name, int value, int timeoutMs = 5000);

class InstanceServer : public QObject {
  Q_OBJECT

 public:
  explicit InstanceServer(QObject* parent = nullptr);
  // Starts listening; takes over a name left behind by an instance that died.
  bool Listen(const QString& name);

 signals:
  void handedOver(int value);

 private:
  void Accept();
  QLocalServer server_;
};

}  // namespace trovix
