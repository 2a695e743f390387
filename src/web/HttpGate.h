#pragma once

#include "HttpHead.h"
#include "common/WindowTimer.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QTcpServer>

#include <functional>
#include <map>
#include <optional>

class QTcpSocket;

#if QT_CONFIG(ssl)
#include <QSslConfiguration>
#endif

// Where the service's connections come in, before Qt HTTP Server reads them. It keeps the
// bounds the server has not: at most 64 connections (the oldest one still without a whole
// request makes room for a new one), a request whole within 5 s and at most 4 KiB of body,
// 64 KiB of answers unread; and it decides on a WebSocket upgrade before the server would
// accept it. Whatever it refuses never reaches the server. It also keeps each connection's
// answers in the order of its requests, for the owners answer in their own time.
class THttpGate : public QTcpServer {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 64;
    static constexpr qint64 MaxBodyBytes = 4096;
    static constexpr int RequestTimeoutMs = 5000;
    static constexpr qint64 MaxUnsentBytes = 65536;

    // An error answer for the request's head, or nothing to let the upgrade through.
    using TUpgradeCheck = std::function<std::optional<QByteArray>(const HttpHead::THead&)>;

    explicit THttpGate(TUpgradeCheck upgradeCheck, QObject* parent = nullptr);
#if QT_CONFIG(ssl)
    void SetTls(const QSslConfiguration& configuration);
#endif
    bool Tls() const {
        return m_tls;
    }

    // A place for the answer to the request the server hands over now on socket; Answer
    // fills it, and answers go out in the order of their places.
    int Reserve(QTcpSocket* socket);
    void Answer(QTcpSocket* socket, int place, const QByteArray& reply, bool close);

    int Connections() const {
        return int(m_connections.size());
    }

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    struct TConnection {
        QPointer<QTcpSocket> socket;
        QByteArray head;     // the current request's head as far as it came
        qint64 bodyLeft = 0; // of the current request, once its head is whole
        bool refused = false;
        QDeadlineTimer deadline; // for the current request to be whole
        qint64 since = 0;        // when it began to wait for its request, for the eviction
        int nextPlace = 0;
        int firstPlace = 0;
        std::map<int, std::optional<std::pair<QByteArray, bool>>> answers;
    };

    void Admit(QTcpSocket* socket);
    void Arrived(QTcpSocket* socket);
    void Refuse(TConnection& connection, const QByteArray& reply);
    void Flush(TConnection& connection);
    void Sweep();
    void Forget(QTcpSocket* socket);

    TUpgradeCheck m_upgradeCheck;
    QHash<QTcpSocket*, TConnection> m_connections;
    TWindowTimer m_sweep;
    qint64 m_arrivals = 0;
    bool m_tls = false;
#if QT_CONFIG(ssl)
    QSslConfiguration m_tlsConfiguration;
#endif
};
