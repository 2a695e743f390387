#pragma once

#include "EventClients.h"
#include "HttpGate.h"
#include "Owners.h"

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QJsonObject>

#include <optional>

// The HTTP and WebSocket API (docs/WEB-API.md) over the owners the service believes. Every
// request is admitted (token, site) before anything of it reaches an owner.
class TWebService : public QAbstractHttpServer {
    Q_OBJECT
public:
    TWebService(const QByteArray& token, TOwners* owners, QObject* parent = nullptr);
    // The gate the server is bound to once it listens.
    THttpGate* Gate() { return m_gate; }

protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

private:
    struct TRoute {
        QString port;   // as the path writes it, empty for /api/ports
        QString action; // "input", "power", "rotation", "events", or empty
    };

    std::optional<QByteArray> CheckUpgrade(const HttpHead::THead& head);
    std::optional<TRoute> Route(const QByteArray& path) const;
    // The believed owner of the port the path names, or the error to answer.
    const TOwnerWatch* OwnerOf(const QString& port, QByteArray* error, bool close) const;
    void TakeWebSockets();
    void Command(QTcpSocket* socket, int place, const TOwnerWatch* owner, const QString& action,
                 const QByteArray& body, bool close);
    void Login(QTcpSocket* socket, int place, const QByteArray& body, bool close);

    QByteArray m_token;
    TOwners* m_owners;
    THttpGate* m_gate;
    TEventClients m_events;
};
