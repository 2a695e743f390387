#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QString>

#include <memory>

class QWebSocket;
class TOwners;

// The WebSocket clients of the events URLs, fed from the one watch the service keeps per
// owner: a hundred clients cost the owner one connection. Each also takes the socket's
// requests, one at a time, and gets the owner's replies in order.
class TEventClients : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxClients = 128;
    static constexpr qint64 MaxUnsentBytes = 65536;

    TEventClients(TOwners* owners, QObject* parent);
    int Count() const { return int(m_clients.size()); }
    // A client whose upgrade the service has admitted, for the owner of device.
    void Take(std::unique_ptr<QWebSocket> socket, const QString& device);

private:
    struct TClient {
        QWebSocket* socket = nullptr;
        QString device;
        QList<QByteArray> waiting; // requests not yet asked, in order
        bool asking = false;
    };

    void Send(TClient& client, const QByteArray& text);
    void StateChanged(const QString& device, const QJsonObject& state);
    void Gone(const QString& device, const QString& port);
    void Received(QWebSocket* socket, const QString& message);
    void AskNext(QWebSocket* socket);
    TClient* Find(QWebSocket* socket);

    TOwners* m_owners;
    QList<TClient> m_clients;
};
