#pragma once

#include "ControlProtocol.h"
#include "ControlSocket.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <optional>

class QSocketNotifier;
class TApdComPort;
class TControlConnection;
class TWindowTimer;

// Serves the other InCyclers (and scripts) of this machine while the port is open: their
// one-shot commands go out on this line as the window's buttons send them, with the poll
// that follows, and --status reads what the device last reported and how the rotation runs.
//
// A client that may not open the port itself is refused at once and let go. Nothing a client
// does can hold the owner up: a request is one line of at most ControlProtocol::MaxRequestBytes, a
// connection carries MaxRequestsPerConnection of them and lives ConnectionLifetimeMs at most, at
// most MaxConnections are served at once (others are told "busy"), one whose replies pile up unread
// is dropped (a watch too: MaxWatchers of them, each sent the state when it changes), and permitted
// connections are taken at most AcceptBurst per AcceptWindowMs: the rest wait in the kernel's
// backlog, so that a flood of them costs the flooder, not the owner.
//
// The listening socket and the connections are plain descriptors under socket notifiers
// rather than QLocalServer and QLocalSocket: those close a connection as soon as the client
// closes its sending side, before its answer could be written, and take connections as fast
// as they come.
class TControlServer : public QObject {
    Q_OBJECT
public:
    static constexpr int MaxConnections = 16;
    // Watches are held apart from those: they last as long as their clients read.
    static constexpr int MaxWatchers = 16;
    static constexpr int ConnectionLifetimeMs = 5000;
    // A client that finds the owner busy gets its answer to its first request,
    // or nothing if it sends none within this.
    static constexpr int TurnedAwayLifetimeMs = 1000;
    static constexpr int MaxUnsentBytes = 16384;
    // A connection is for a few requests: after this many it is closed once answered.
    static constexpr int MaxRequestsPerConnection = 4;
    static constexpr int AcceptBurst = 16;
    static constexpr int AcceptWindowMs = 100;
    // How long a command may take to leave the port before the client is told it did not.
    static constexpr int DrainTimeoutMs = 1000;

    // Follows the port: serves from each open to the next close.
    explicit TControlServer(TApdComPort* port);
    ~TControlServer() override;

    bool Serving() const { return m_listenFd >= 0; }
    int Connections() const { return int(m_connections.size()); }
    int Watchers() const;

private:
    void Serve();
    void Stop();
    void OnAcceptable();
    void Refuse(int fd, const QString& why);
    void Take(int fd);
    void OnReadable(TControlConnection* connection);
    void Handle(TControlConnection* connection, const QByteArray& line);
    void AwaitDrain(TControlConnection* connection);
    void Forget(TControlConnection* connection);
    void StartWatch(TControlConnection* connection);
    // Sends the state to every watch when it differs from what they were sent last; looked at
    // whenever the loop is about to wait, while there are watches.
    void PublishIfChanged();
    void Publish(const ControlProtocol::TOwnerState& state);

    TApdComPort* m_port;
    QString m_device;
    ControlSocket::TAccess m_access;
    QString m_path;
    int m_listenFd = -1;
    QSocketNotifier* m_accept = nullptr;
    int m_acceptBudget = AcceptBurst;
    TWindowTimer* m_acceptRefill;
    QList<TControlConnection*> m_connections;
    std::optional<ControlProtocol::TOwnerState> m_published;
    QMetaObject::Connection m_publishing;
};
