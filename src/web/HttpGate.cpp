#include "HttpGate.h"

#include "WebReply.h"

#include <QTcpSocket>
#if QT_CONFIG(ssl)
#include <QSslSocket>
#endif

#include <limits>

namespace {

constexpr int kSweepMs = 250;
// What the kernel has read for a connection is taken in parts of this size at most.
constexpr qint64 kReadBufferBytes = 16384;
// Requests sent ahead of their answers; more is no client of this service.
constexpr int kMaxWaitingAnswers = 8;
// A refused connection gets this long to take its answer.
constexpr int kRefusedLingerMs = 1000;

// Qt's WebSocket handshake answers with CORS headers of its own; this service sends none, so
// that no page of another site is ever told it may read an answer.
template <class TBase> class TNoCorsSocket : public TBase {
protected:
    qint64 writeData(const char* data, qint64 size) override {
        const QByteArray bytes = QByteArray::fromRawData(data, size);
        if (!bytes.startsWith("HTTP/1.1 101 "))
            return TBase::writeData(data, size);
        QByteArray filtered;
        for (const QByteArray& line : bytes.split('\n'))
            if (!line.toLower().startsWith("access-control-"))
                filtered += line + '\n';
        filtered.chop(1);
        return TBase::writeData(filtered.constData(), filtered.size()) < 0 ? -1 : size;
    }
};

qint64 Now() {
    return QDeadlineTimer::current().deadlineNSecs();
}

} // namespace

THttpGate::THttpGate(TUpgradeCheck upgradeCheck, QObject* parent)
    : QTcpServer(parent), m_upgradeCheck(std::move(upgradeCheck)), m_sweep(this, kSweepMs, false) {
    connect(&m_sweep, &TWindowTimer::Timer, this, &THttpGate::Sweep);
}

#if QT_CONFIG(ssl)
void THttpGate::SetTls(const QSslConfiguration& configuration) {
    m_tls = true;
    m_tlsConfiguration = configuration;
}
#endif

void THttpGate::incomingConnection(qintptr descriptor) {
    QTcpSocket* socket = nullptr;
#if QT_CONFIG(ssl)
    if (m_tls) {
        auto* tlsSocket = new TNoCorsSocket<QSslSocket>;
        tlsSocket->setSslConfiguration(m_tlsConfiguration);
        socket = tlsSocket;
    }
#endif
    if (socket == nullptr)
        socket = new TNoCorsSocket<QTcpSocket>;
    socket->setParent(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    if (m_connections.size() >= MaxConnections) {
        // Room is made by the connection that has waited longest for its request: a slow or
        // idle client, never one whose answer is under way.
        TConnection* oldest = nullptr;
        for (TConnection& connection : m_connections)
            if (connection.answers.empty() &&
                (oldest == nullptr || connection.since < oldest->since))
                oldest = &connection;
        if (oldest == nullptr) {
            socket->write(WebReply::Error(503, QStringLiteral("busy"),
                                          QStringLiteral("%1 connections are being served; try "
                                                         "again")
                                              .arg(MaxConnections),
                                          true));
            socket->disconnectFromHost();
            socket->deleteLater();
            return;
        }
        QTcpSocket* evicted = oldest->socket;
        m_connections.remove(evicted);
        if (evicted != nullptr)
            evicted->abort();
    }
    Admit(socket);
#if QT_CONFIG(ssl)
    if (m_tls)
        static_cast<QSslSocket*>(socket)->startServerEncryption();
#endif
    addPendingConnection(socket);
}

void THttpGate::Admit(QTcpSocket* socket) {
    socket->setReadBufferSize(kReadBufferBytes);
    TConnection& connection = m_connections[socket];
    connection.socket = socket;
    connection.deadline.setRemainingTime(RequestTimeoutMs);
    connection.since = Now() + (m_arrivals++ % 1000); // distinct, in order of arrival
    // Before the server's own connection, so that this sees every byte before it does.
    connect(socket, &QTcpSocket::readyRead, this, [this, socket] { Arrived(socket); });
    connect(socket, &QObject::destroyed, this, [this, socket] { Forget(socket); });
    m_sweep.SetEnabled(true);
}

void THttpGate::Arrived(QTcpSocket* socket) {
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return;
    TConnection& connection = *it;
    if (connection.refused) {
        // Whatever follows a refused request never reaches the server either.
        socket->read(socket->bytesAvailable());
        return;
    }
    const QByteArray data = socket->peek(socket->bytesAvailable());
    qsizetype position = 0;
    while (position < data.size()) {
        if (connection.bodyLeft > 0) {
            const qint64 taken = qMin<qint64>(connection.bodyLeft, data.size() - position);
            connection.bodyLeft -= taken;
            position += taken;
        } else {
            const qsizetype before = connection.head.size();
            connection.head += data.mid(position, HttpHead::MaxHeadBytes + 1 - before);
            const HttpHead::TParse parse = HttpHead::Parse(connection.head);
            if (parse.status == HttpHead::TStatus::Incomplete)
                return;
            if (parse.status != HttpHead::TStatus::Complete) {
                const bool tooLarge = parse.status == HttpHead::TStatus::TooLarge;
                Refuse(connection, WebReply::Error(tooLarge ? 431 : 400, QStringLiteral("request"),
                                                   parse.problem, true));
                return;
            }
            position += parse.head.headBytes - before;
            connection.head.clear();
            if (parse.head.contentLength > MaxBodyBytes) {
                Refuse(connection,
                       WebReply::Error(
                           413, QStringLiteral("request"),
                           QStringLiteral("a request's body is at most %1 bytes").arg(MaxBodyBytes),
                           true));
                return;
            }
            if (parse.head.IsWebSocketUpgrade()) {
                if (const std::optional<QByteArray> refusal = m_upgradeCheck(parse.head)) {
                    Refuse(connection, *refusal);
                    return;
                }
                // From here the socket is the WebSocket's: the server hands it over.
                disconnect(socket, nullptr, this, nullptr);
                m_connections.erase(it);
                return;
            }
            connection.bodyLeft = parse.head.contentLength;
            if (connection.answers.size() >= kMaxWaitingAnswers) {
                Refuse(connection, WebReply::Error(503, QStringLiteral("busy"),
                                                   QStringLiteral("too many requests ahead of "
                                                                  "their answers"),
                                                   true));
                return;
            }
        }
        if (connection.bodyLeft == 0) {
            // Whole: the server answers it, and the next request has its own 5 s.
            connection.deadline.setRemainingTime(RequestTimeoutMs);
            connection.since = Now();
        }
    }
}

void THttpGate::Refuse(TConnection& connection, const QByteArray& reply) {
    QTcpSocket* socket = connection.socket;
    connection.answers.clear();
    connection.refused = true;
    connection.deadline.setRemainingTime(kRefusedLingerMs);
    socket->read(socket->bytesAvailable());
    socket->write(reply);
    socket->disconnectFromHost();
}

int THttpGate::Reserve(QTcpSocket* socket) {
    const auto it = m_connections.find(socket);
    if (it == m_connections.end())
        return -1;
    const int place = it->nextPlace++;
    it->answers.emplace(place, std::nullopt);
    return place;
}

void THttpGate::Answer(QTcpSocket* socket, int place, const QByteArray& reply, bool close) {
    const auto it = m_connections.find(socket);
    if (it == m_connections.end()) {
        // A connection the gate never knew (or has let go) gets its answer as it comes.
        return;
    }
    const auto answer = it->answers.find(place);
    if (answer == it->answers.end())
        return;
    answer->second = std::make_pair(reply, close);
    Flush(*it);
}

void THttpGate::Flush(TConnection& connection) {
    while (!connection.answers.empty() && connection.answers.begin()->second) {
        const auto [reply, close] = *connection.answers.begin()->second;
        connection.answers.erase(connection.answers.begin());
        connection.socket->write(reply);
        if (close) {
            connection.answers.clear();
            connection.deadline.setRemainingTime(kRefusedLingerMs);
            connection.socket->disconnectFromHost();
            return;
        }
    }
    if (connection.answers.empty()) {
        connection.deadline.setRemainingTime(RequestTimeoutMs);
        connection.since = Now();
    }
}

void THttpGate::Sweep() {
    QList<QTcpSocket*> ended;
    for (auto it = m_connections.begin(); it != m_connections.end(); ++it) {
        QTcpSocket* socket = it->socket;
        if (socket == nullptr)
            continue;
        const bool late = it->answers.empty() && it->deadline.hasExpired();
        if (late || socket->bytesToWrite() > MaxUnsentBytes)
            ended.append(socket);
    }
    for (QTcpSocket* socket : ended) {
        m_connections.remove(socket);
        socket->abort();
    }
    m_sweep.SetEnabled(!m_connections.isEmpty());
}

void THttpGate::Forget(QTcpSocket* socket) {
    m_connections.remove(socket);
}
