#include "agent/ui/PanelActivation.h"

#include <QLocalSocket>

#include <cstdlib>

namespace tessary {

namespace {

constexpr int kRequestTimeoutMs = 500;
constexpr char kShowRequest[] = "show\n";

bool isSet(const char* name)
{
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0';
}

// systemd marks the processes it starts; the desktop session marks its autostart launches.
bool startedBySession()
{
    return isSet("INVOCATION_ID") || isSet("DESKTOP_AUTOSTART_ID");
}

}  // namespace

PanelActivation::PanelActivation(std::filesystem::path socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)), server_(this)
{
}

bool PanelActivation::listen(std::function<void()> onShowRequested)
{
    const auto path = QString::fromStdString(socketPath_.string());
    // Only the lock holder gets here, so a socket already there is a crashed agent's leftover.
    QLocalServer::removeServer(path);
    server_.setSocketOptions(QLocalServer::UserAccessOption);
    if (!server_.listen(path))
        return false;
    connect(&server_, &QLocalServer::newConnection, this, [this, onShowRequested = std::move(onShowRequested)] {
        while (auto* connection = server_.nextPendingConnection()) {
            connect(connection, &QLocalSocket::disconnected, connection, &QObject::deleteLater);
            connect(connection, &QLocalSocket::readyRead, connection, [connection, onShowRequested] {
                // One request per connection; anything but the request itself is ignored.
                if (connection->readAll().startsWith(kShowRequest))
                    onShowRequested();
                connection->disconnectFromServer();
            });
        }
    });
    return true;
}

void PanelActivation::requestShow(const std::filesystem::path& socketPath)
{
    if (startedBySession())
        return;
    QLocalSocket socket;
    socket.connectToServer(QString::fromStdString(socketPath.string()));
    if (!socket.waitForConnected(kRequestTimeoutMs))
        return;
    socket.write(kShowRequest);
    socket.waitForBytesWritten(kRequestTimeoutMs);
    socket.disconnectFromServer();
}

}  // namespace tessary
