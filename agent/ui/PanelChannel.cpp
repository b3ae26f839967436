#include "agent/ui/PanelChannel.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <sys/socket.h>
#include <vector>

namespace tessary {

PanelChannel::PanelChannel(ScopedFd descriptor, QObject* parent) : QObject(parent), descriptor_(std::move(descriptor))
{
    if (!descriptor_)
        return;
    const int flags = ::fcntl(descriptor_.get(), F_GETFL);
    if (flags < 0 || ::fcntl(descriptor_.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        descriptor_.reset();
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(descriptor_.get(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, &PanelChannel::readAvailable);
}

PanelChannel::~PanelChannel()
{
    notifier_.reset();
}

bool PanelChannel::send(const QJsonObject& message)
{
    if (!isOpen())
        return false;
    const auto bytes = QJsonDocument(message).toJson(QJsonDocument::Compact);
    if (bytes.size() > kLargestMessage) {
        emit malformed(QStringLiteral("an outgoing message of %1 bytes is too large").arg(bytes.size()));
        return false;
    }
    ssize_t sent;
    do {
        sent = ::send(descriptor_.get(), bytes.constData(), static_cast<size_t>(bytes.size()), MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    if (sent != bytes.size()) {
        close();
        return false;
    }
    return true;
}

void PanelChannel::close()
{
    if (!isOpen())
        return;
    notifier_.reset();
    descriptor_.reset();
    emit closed();
}

void PanelChannel::readAvailable()
{
    std::vector<char> buffer(kLargestMessage + 1);
    while (isOpen()) {
        // MSG_TRUNC gives a longer message's whole length, and drops the rest of it.
        const ssize_t length = ::recv(descriptor_.get(), buffer.data(), buffer.size(), MSG_TRUNC);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            return;
        if (length <= 0) {
            close();
            return;
        }
        if (length > kLargestMessage) {
            emit malformed(QStringLiteral("a message of %1 bytes is too large").arg(length));
            continue;
        }
        QJsonParseError error{};
        const auto document =
            QJsonDocument::fromJson(QByteArray::fromRawData(buffer.data(), static_cast<qsizetype>(length)), &error);
        if (!document.isObject()) {
            emit malformed(error.error != QJsonParseError::NoError ? error.errorString()
                                                                   : QStringLiteral("not a JSON object"));
            continue;
        }
        emit received(document.object());
    }
}

}  // namespace tessary
