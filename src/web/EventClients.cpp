#include "EventClients.h"

#include "OwnerRequest.h"
#include "Owners.h"
#include "WebReply.h"
#include "control/ControlProtocol.h"

#include <QJsonDocument>
#include <QWebSocket>

namespace {

// Requests a client may send ahead of their replies.
constexpr int kMaxWaiting = 4;

QByteArray Text(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray StateEvent(const QJsonObject& state) {
    return Text(
        {{QLatin1String("event"), QLatin1String("state")}, {QLatin1String("state"), state}});
}

QByteArray ErrorText(const QString& error, const QString& message) {
    return ControlProtocol::ErrorReply(error, message).trimmed();
}

} // namespace

TEventClients::TEventClients(TOwners* owners, QObject* parent) : QObject(parent), m_owners(owners) {
    connect(owners, &TOwners::StateChanged, this, &TEventClients::StateChanged);
    connect(owners, &TOwners::Gone, this, &TEventClients::Gone);
}

void TEventClients::Take(std::unique_ptr<QWebSocket> owned, const QString& device) {
    QWebSocket* socket = owned.release();
    socket->setParent(this);
    socket->setMaxAllowedIncomingMessageSize(ControlProtocol::MaxRequestBytes);
    socket->setMaxAllowedIncomingFrameSize(ControlProtocol::MaxRequestBytes);
    socket->setReadBufferSize(16384);
    const TOwnerWatch* owner = m_owners->ForDevice(device);
    if (owner == nullptr || m_clients.size() >= MaxClients) {
        socket->close(QWebSocketProtocol::CloseCodeGoingAway);
        socket->deleteLater();
        return;
    }
    m_clients.append(TClient{socket, device, {}, false});
    connect(socket, &QWebSocket::textMessageReceived, this,
            [this, socket](const QString& message) { Received(socket, message); });
    connect(socket, &QWebSocket::disconnected, this, [this, socket] {
        m_clients.removeIf([socket](const TClient& client) { return client.socket == socket; });
        socket->deleteLater();
    });
    Send(m_clients.last(), StateEvent(owner->State()));
}

TEventClients::TClient* TEventClients::Find(QWebSocket* socket) {
    for (TClient& client : m_clients)
        if (client.socket == socket)
            return &client;
    return nullptr;
}

void TEventClients::Send(TClient& client, const QByteArray& text) {
    // A client that does not read is dropped rather than kept in memory.
    if (client.socket->bytesToWrite() > MaxUnsentBytes) {
        client.socket->abort();
        return;
    }
    client.socket->sendTextMessage(QString::fromUtf8(text));
}

void TEventClients::StateChanged(const QString& device, const QJsonObject& state) {
    const QByteArray text = StateEvent(state);
    for (TClient& client : m_clients)
        if (client.device == device)
            Send(client, text);
}

void TEventClients::Gone(const QString& device, const QString& port) {
    const QByteArray text =
        Text({{QLatin1String("event"), QLatin1String("gone")}, {QLatin1String("port"), port}});
    for (TClient& client : m_clients)
        if (client.device == device) {
            Send(client, text);
            client.socket->close(QWebSocketProtocol::CloseCodeGoingAway,
                                 QStringLiteral("no InCycler serves %1 now").arg(port));
        }
}

void TEventClients::Received(QWebSocket* socket, const QString& message) {
    TClient* client = Find(socket);
    if (client == nullptr)
        return;
    const ControlProtocol::TParsed parsed = ControlProtocol::ParseRequest(message.toUtf8());
    if (!parsed.ok) {
        Send(*client, ErrorText(QStringLiteral("request"), parsed.error));
        return;
    }
    const QJsonObject request = QJsonDocument::fromJson(message.toUtf8()).object();
    if (request.value(QLatin1String("command")).toString() == QLatin1String("watch")) {
        Send(*client, ErrorText(QStringLiteral("request"),
                                QStringLiteral("this connection gets every change already")));
        return;
    }
    if (client->waiting.size() >= kMaxWaiting) {
        Send(*client, ErrorText(QStringLiteral("busy"),
                                QStringLiteral("%1 requests wait for their replies; send the next "
                                               "after a reply")
                                    .arg(kMaxWaiting)));
        return;
    }
    // Sent as one line of its own, whatever the message's layout.
    client->waiting.append(Text(request) + '\n');
    AskNext(socket);
}

void TEventClients::AskNext(QWebSocket* socket) {
    TClient* client = Find(socket);
    if (client == nullptr || client->asking || client->waiting.isEmpty())
        return;
    const TOwnerWatch* owner = m_owners->ForDevice(client->device);
    if (owner == nullptr)
        return; // Gone closes it
    client->asking = true;
    OwnerRequest::Ask(socket, owner->Target(), client->waiting.takeFirst(),
                      [this, socket](const OwnerClient::TAnswer& answer) {
                          TClient* asked = Find(socket);
                          if (asked == nullptr)
                              return;
                          asked->asking = false;
                          QJsonObject body;
                          WebReply::StatusFor(answer, &body);
                          Send(*asked, Text(body));
                          AskNext(socket);
                      });
}
