#include "ControlServer.h"

#include "ControlConnection.h"
#include "ControlProtocol.h"
#include "ControlSocket.h"
#include "app/ConnectReported.h"
#include "common/StandardError.h"
#include "common/WindowTimer.h"
#include "device/PortMap.h"
#include "device/cls_ApdComPort.h"
#include "ui/form_Main.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <algorithm>

#include <sys/socket.h>
#include <unistd.h>

namespace {
// How often a command's way out of the port is looked at while it is still on it.
constexpr int kDrainLookMs = 2;
// The most connections taken at one wake-up: the kernel's backlog, once over.
constexpr int kBacklogDrain = 64;
} // namespace

TControlServer::TControlServer(TApdComPort* port)
    : QObject(port), m_port(port), m_acceptRefill(new TWindowTimer(this, AcceptWindowMs, false)) {
    ConnectReported(port, &TApdComPort::Opened, this, &TControlServer::Serve);
    ConnectReported(port, &TApdComPort::Closing, this, &TControlServer::Stop);
    ConnectReported(m_acceptRefill, &TWindowTimer::Timer, this, [this] {
        m_acceptRefill->SetEnabled(false);
        m_acceptBudget = AcceptBurst;
        if (m_accept != nullptr)
            m_accept->setEnabled(true);
    });
    if (port->Open())
        Serve();
}

TControlServer::~TControlServer() {
    Stop();
}

void TControlServer::Serve() {
    Stop();
    m_device = m_port->DevicePath();
    m_access = ControlSocket::AccessFor(m_device);
    QString error;
    m_path = ControlSocket::PathFor(m_device, true, &error);
    if (!m_path.isEmpty())
        m_listenFd = ControlSocket::Listen(m_path, &error);
    if (m_listenFd < 0) {
        // The port itself works; only the others cannot reach it through this one.
        SayOnStandardError(
            QStringLiteral("%1 (%2): cannot serve the commands of other InCyclers: %3")
                .arg(PortMap::PortName(m_port->ComNumber()), m_device, error));
        return;
    }
    m_accept = new QSocketNotifier(m_listenFd, QSocketNotifier::Read, this);
    ConnectReported(m_accept, &QSocketNotifier::activated, this, &TControlServer::OnAcceptable);
}

void TControlServer::Stop() {
    if (m_listenFd >= 0) {
        delete m_accept;
        m_accept = nullptr;
        ::close(m_listenFd);
        m_listenFd = -1;
        // The port is still held, so the file is still ours.
        ::unlink(QFile::encodeName(m_path).constData());
    }
    for (TControlConnection* connection : QList<TControlConnection*>(m_connections))
        connection->Drop();
    QObject::disconnect(m_publishing);
    m_published.reset();
}

int TControlServer::Watchers() const {
    return int(std::count_if(m_connections.cbegin(), m_connections.cend(),
                             [](TControlConnection* c) { return c->Watching(); }));
}

void TControlServer::OnAcceptable() {
    // Bounded, so that a flood of refusals still lets the loop turn between two wake-ups.
    for (int taken = 0; taken < kBacklogDrain; ++taken) {
        if (m_acceptBudget == 0) {
            // Spent: the rest wait in the backlog until the window is over.
            m_accept->setEnabled(false);
            return;
        }
        const int fd = ::accept4(m_listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        // A peer that may not use the port is answered and let go at once: it is never held,
        // and it spends none of the budget that keeps the permitted clients' room.
        QString why;
        if (!ControlSocket::MayUse(ControlSocket::PeerOf(fd), m_access, &why)) {
            Refuse(fd, why);
            continue;
        }
        --m_acceptBudget;
        m_acceptRefill->SetEnabled(true);
        Take(fd);
    }
}

void TControlServer::Refuse(int fd, const QString& why) {
    // One short line always fits a new connection's buffer; the client reads it even after
    // the close, while a request it had sent is thrown away unread.
    const QByteArray answer = ControlProtocol::ErrorReply(QStringLiteral("refused"), why);
    ::send(fd, answer.constData(), size_t(answer.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
}

void TControlServer::Take(int fd) {
    QByteArray answer;
    if (std::count_if(m_connections.cbegin(), m_connections.cend(), [](TControlConnection* c) {
            return c->Serving().turnedAway.isEmpty() && !c->Watching();
        }) >= MaxConnections)
        answer = ControlProtocol::ErrorReply(
            QStringLiteral("busy"),
            QStringLiteral("%1 clients are being served; try again in a few seconds")
                .arg(MaxConnections));
    // One turned away as busy is answered once it has sent its request, and is held briefly,
    // outside the count of those served.
    auto* connection = new TControlConnection(
        fd, ControlProtocol::MaxRequestBytes, MaxUnsentBytes,
        answer.isEmpty() ? ConnectionLifetimeMs : TurnedAwayLifetimeMs, this);
    m_connections.append(connection);
    connection->Serving().turnedAway = answer;
    ConnectReported(connection, &TControlConnection::Readable, this,
                    [this, connection] { OnReadable(connection); });
    ConnectReported(connection, &TControlConnection::Ended, this,
                    [this, connection] { Forget(connection); });
}

void TControlServer::Forget(TControlConnection* connection) {
    m_connections.removeOne(connection);
    connection->deleteLater();
}

void TControlServer::OnReadable(TControlConnection* connection) {
    const QPointer<TControlConnection> alive(connection);
    TControlConnection::TServing& serving = connection->Serving();
    while (alive && connection->Fd() >= 0 && !serving.busy && !connection->Watching()) {
        bool tooLong = false;
        const std::optional<QByteArray> line = connection->TakeLine(&tooLong);
        if (!serving.turnedAway.isEmpty() && (line || tooLong || connection->InputDone())) {
            connection->Write(serving.turnedAway);
            connection->CloseAfterWriting();
            return;
        }
        if (tooLong) {
            connection->Write(ControlProtocol::ErrorReply(
                QStringLiteral("request"),
                QStringLiteral("a request is at most %1 bytes and ends with a line feed")
                    .arg(ControlProtocol::MaxRequestBytes)));
            connection->CloseAfterWriting();
            return;
        }
        if (!line) {
            if (connection->InputDone())
                connection->CloseAfterWriting();
            return;
        }
        const int taken = ++serving.requests;
        Handle(connection, *line);
        if (taken >= MaxRequestsPerConnection) {
            // A watch, even as the last request a connection may make, lasts as watches do.
            if (alive && !serving.busy && !connection->Watching())
                connection->CloseAfterWriting();
            return;
        }
    }
}

void TControlServer::Handle(TControlConnection* connection, const QByteArray& line) {
    const ControlProtocol::TParsed parsed = ControlProtocol::ParseRequest(line);
    if (!parsed.ok) {
        connection->Write(ControlProtocol::ErrorReply(QStringLiteral("request"), parsed.error));
        connection->CloseAfterWriting();
        return;
    }
    if (FormMain == nullptr || FormMain->Destroying()) {
        connection->Write(ControlProtocol::ErrorReply(QStringLiteral("not-sent"),
                                                      QStringLiteral("the program is ending")));
        return;
    }
    if (parsed.request.command == ControlProtocol::TCommand::Status) {
        connection->Write(ControlProtocol::StateReply(FormMain->OwnerState()));
        return;
    }
    if (parsed.request.command == ControlProtocol::TCommand::Watch) {
        StartWatch(connection);
        return;
    }
    const QPointer<TControlConnection> alive(connection);
    QString why;
    // Sending lets the loop run: the connection may be over when it returns, and until its
    // answer is written nothing more of it is taken (nor its end, if it has said all).
    connection->Serving().busy = true;
    const ControlProtocol::TOutcome outcome = FormMain->ServeCommand(parsed.request, &why);
    if (!alive || connection->Fd() < 0)
        return;
    connection->Serving().busy = false;
    switch (outcome) {
    case ControlProtocol::TOutcome::Sent:
        AwaitDrain(connection);
        break;
    case ControlProtocol::TOutcome::WrongModel:
        connection->Write(ControlProtocol::ErrorReply(QStringLiteral("model"), why));
        break;
    case ControlProtocol::TOutcome::NotSent:
        connection->Write(ControlProtocol::ErrorReply(QStringLiteral("not-sent"), why));
        break;
    case ControlProtocol::TOutcome::Refused:
        connection->Write(ControlProtocol::ErrorReply(QStringLiteral("request"), why));
        connection->CloseAfterWriting();
        break;
    }
}

void TControlServer::StartWatch(TControlConnection* connection) {
    if (Watchers() >= MaxWatchers) {
        connection->Write(ControlProtocol::ErrorReply(
            QStringLiteral("busy"),
            QStringLiteral("%1 clients are watching; try again later").arg(MaxWatchers)));
        connection->CloseAfterWriting();
        return;
    }
    connection->Watch();
    const ControlProtocol::TOwnerState state = FormMain->OwnerState();
    if (m_published && *m_published == state)
        connection->Write(ControlProtocol::StateEvent(state));
    else
        Publish(state); // the others have not been sent this change yet either
    if (!m_publishing)
        m_publishing = ConnectReported(QAbstractEventDispatcher::instance(),
                                       &QAbstractEventDispatcher::aboutToBlock, this,
                                       &TControlServer::PublishIfChanged);
}

void TControlServer::PublishIfChanged() {
    if (Watchers() == 0) {
        QObject::disconnect(m_publishing);
        m_published.reset();
        return;
    }
    if (FormMain == nullptr || FormMain->Destroying())
        return;
    const ControlProtocol::TOwnerState state = FormMain->OwnerState();
    if (!m_published || *m_published != state)
        Publish(state);
}

void TControlServer::Publish(const ControlProtocol::TOwnerState& state) {
    m_published = state;
    const QByteArray line = ControlProtocol::StateEvent(state);
    for (TControlConnection* watcher : QList<TControlConnection*>(m_connections))
        if (watcher->Watching())
            watcher->Write(line);
}

void TControlServer::AwaitDrain(TControlConnection* connection) {
    if (!m_port->OutputPending()) {
        connection->Write(ControlProtocol::OkReply());
        return;
    }
    // The line holds the frame back: the answer waits for it, the owner does not.
    connection->Serving().busy = true;
    const QDeadlineTimer deadline(DrainTimeoutMs, Qt::PreciseTimer);
    auto* look = new TWindowTimer(connection, kDrainLookMs, true);
    ConnectReported(look, &TWindowTimer::Timer, this, [this, connection, look, deadline] {
        const bool left = !m_port->OutputPending();
        if (!left && !deadline.hasExpired())
            return;
        look->SetEnabled(false);
        look->deleteLater();
        connection->Serving().busy = false;
        connection->Write(
            left ? ControlProtocol::OkReply()
                 : ControlProtocol::ErrorReply(
                       QStringLiteral("not-sent"),
                       QStringLiteral("the command did not leave the port within %1 s (is the "
                                      "switcher on and the cable's CTS line connected?); it may "
                                      "still go out when the line frees")
                           .arg(DrainTimeoutMs / 1000)));
        // Requests that came meanwhile, or the end of a client that has said all (or all it
        // may).
        if (connection->Serving().requests >= MaxRequestsPerConnection)
            connection->CloseAfterWriting();
        else
            OnReadable(connection);
    });
}
