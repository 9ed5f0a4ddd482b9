#include "ui/single_instance.h"

#include <QLocalSocket>

#include <unistd.h>

#include "capture/atoi.h"

namespace trovix {

QString InstanceName() {
  QString display = qEnvironmentVariable("WAYLAND_DISPLAY", qEnvironmentVariable("DISPLAY"));
  for (QChar& c : display) {
    if (!c.isLetterOrNumber()) c = QLatin1Char('_');
  }
  return QStringLiteral("trovix-%1-%2").arg(getuid()).arg(display);
}

bool HandOverToRunningInstance(const QString& name, int value, int timeoutMs) {
  QLocalSocket socket;
  socket.connectToServer(name);
  if (!socket.waitForConnected(timeoutMs)) return false;
  socket.write(QByteArray::number(value) + '\n');
  socket.flush();
  // The running window answers once it has handled the request.
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(timeoutMs)) break;
  }
  return true;
}

InstanceServer::InstanceServer(QObject* parent) : QObject(parent) {
  connect(&server_, &QLocalServer::newConnection, this, &InstanceServer::Accept);
}

bool InstanceServer::Listen(const QString& name) {
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
      client->write("ok\n");
      client->flush();
      client->disconnectFromServer();
    });
  }
}

}  // namespace trovix
