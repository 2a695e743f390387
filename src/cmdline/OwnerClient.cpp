#include "OwnerClient.h"

#include "common/PrintableText.h"
#include "common/StandardError.h"
#include "common/UniqueFd.h"
#include "control/ControlProtocol.h"
#include "control/ControlSocket.h"
#include "device/PortMap.h"
#include "device/SerialLock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QThread>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

constexpr int kConnectTimeoutMs = 2000;
// How long to wait before asking again while the owner's backlog is full.
constexpr unsigned long kBacklogRetryMs = 20;

OwnerClient::TAnswer Answer(OwnerClient::TKind kind, const QString& message) {
    OwnerClient::TAnswer answer;
    answer.kind = kind;
    answer.message = message;
    return answer;
}

// Waits for the descriptor until the deadline; false when it passed.
bool Wait(int fd, short events, const QDeadlineTimer& deadline) {
    for (;;) {
        pollfd p{fd, events, 0};
        const int n = ::poll(&p, 1, int(qMax<qint64>(0, deadline.remainingTime())));
        if (n > 0)
            return true;
        if (n == 0 || errno != EINTR)
            return false;
    }
}

// A connection to the socket at path, or -1 with *error set. A full backlog is tried again
// until the connect deadline (ETIMEDOUT then).
int Connect(const QString& path, int* error) {
    const QDeadlineTimer deadline(kConnectTimeoutMs);
    for (;;) {
        const int fd = OwnerClient::ConnectOnce(path, error);
        if (fd >= 0 || *error != EAGAIN)
            return fd;
        if (deadline.hasExpired()) {
            *error = ETIMEDOUT;
            return -1;
        }
        QThread::msleep(kBacklogRetryMs);
    }
}

// Sends what it can before the deadline; the owner may already have answered and closed.
void Send(int fd, const QByteArray& bytes, const QDeadlineTimer& deadline) {
    qsizetype sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            ::send(fd, bytes.constData() + sent, size_t(bytes.size() - sent), MSG_NOSIGNAL);
        if (n > 0)
            sent += n;
        else if (n < 0 && errno == EINTR)
            continue;
        else if (n < 0 && errno == EAGAIN && Wait(fd, POLLOUT, deadline))
            continue;
        else
            return;
    }
}

// The first line the owner sends, without its line end, or nothing by the deadline.
std::optional<QByteArray> ReadLine(int fd, const QDeadlineTimer& deadline) {
    QByteArray received;
    for (;;) {
        if (const qsizetype end = received.indexOf('\n'); end >= 0)
            return received.left(end);
        if (received.size() > OwnerClient::MaxReplyBytes || !Wait(fd, POLLIN, deadline))
            return std::nullopt;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            received.append(buffer, n);
        else if (n == 0 || (errno != EINTR && errno != EAGAIN))
            return std::nullopt;
    }
}

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// The group a socket admits: its own, or where its directory cannot be entered, the
// directory's, which it takes.
QString SocketGroup(const QString& path) {
    struct stat st {};
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 &&
        ::stat(QFile::encodeName(QFileInfo(path).path()).constData(), &st) != 0)
        return QStringLiteral("of the socket");
    const group* entry = ::getgrgid(st.st_gid);
    return entry != nullptr ? QString::fromLocal8Bit(entry->gr_name)
                            : QStringLiteral("gid %1").arg(st.st_gid);
}

} // namespace

namespace OwnerClient {

bool SocketPresent(int comPortNum) {
    QString problem;
    const QString device = PortMap::ResolvedDevice(comPortNum, &problem);
    if (device.isEmpty())
        return false;
    const QString path = ControlSocket::PathFor(device, false, &problem);
    struct stat st {};
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

std::optional<TTarget> Locate(int comPortNum, TAnswer* failure) {
    QString problem;
    TTarget target;
    target.device = PortMap::ResolvedDevice(comPortNum, &problem);
    if (target.device.isEmpty()) {
        *failure = Answer(TKind::NoOwner, problem);
        return std::nullopt;
    }
    target.where = QStringLiteral("%1 (%2)").arg(PortMap::PortName(comPortNum), target.device);
    target.path = ControlSocket::PathFor(target.device, false, &problem);
    if (target.path.isEmpty()) {
        *failure =
            Answer(TKind::NoOwner,
                   QStringLiteral("%1: no InCycler can serve it: %2").arg(target.where, problem));
        return std::nullopt;
    }
    return target;
}

int ConnectOnce(const QString& path, int* error) {
    sockaddr_un address;
    if (!ControlSocket::AddressFor(path, &address)) {
        *error = ENAMETOOLONG;
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    // A local socket connects at once or not at all: EAGAIN is a full backlog, not progress.
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
        return fd;
    *error = errno;
    ::close(fd);
    return -1;
}

TAnswer ConnectFailure(const TTarget& target, int error) {
    // Still waiting in the owner's backlog: it is there, but taking others first.
    if (error == ETIMEDOUT)
        return Answer(TKind::Failed,
                      QStringLiteral("%1: the InCycler holding it did not take the connection "
                                     "within %2 s; it is busy, try again")
                          .arg(target.where)
                          .arg(kConnectTimeoutMs / 1000));
    // The socket admits its owner, root and the directory's group alone: nothing was handed
    // over, and a one-shot's own failure (the port's permissions) stands.
    if (error == EACCES)
        return Answer(
            TKind::NoOwner,
            QStringLiteral("%1: %2 admits only its owner's user, root and the group "
                           "%3 (%4)")
                .arg(target.where, target.path, SocketGroup(target.path), SystemText(error)));
    const SerialLock::THolder holder = SerialLock::FlockHolder(target.device);
    if (holder.pid > 0)
        return Answer(TKind::NoOwner, QStringLiteral("%1: %2, which serves no requests")
                                          .arg(target.where, SerialLock::InUseText(holder)));
    return Answer(TKind::NoOwner,
                  QStringLiteral("%1: no InCycler holds this port").arg(target.where));
}

// The pid alone would not do: a socket reports the pid of whoever listened on it even after
// that process has ended and its number has gone to another, such as the real owner. The
// holder is asked again after its user was read, so that it cannot have been replaced in
// between.
bool HeldBy(const ControlSocket::TPeer& peer, const QString& device) {
    if (!peer.known)
        return false;
    const qint64 holder = SerialLock::FlockHolder(device).pid;
    if (holder <= 0 || holder != peer.pid)
        return false;
    const std::optional<SerialLock::TCredentials> credentials =
        SerialLock::ProcessCredentials(holder);
    return credentials && credentials->uid == peer.uid &&
           SerialLock::FlockHolder(device).pid == holder;
}

QString OwnerName(const TTarget& target, qint64 ownerPid) {
    return QStringLiteral("the InCycler holding %1 (process %2)").arg(target.where).arg(ownerPid);
}

TAnswer Interpret(const QByteArray& line, qint64 ownerPid, const QString& ownerName) {
    const QJsonDocument reply = QJsonDocument::fromJson(line);
    if (!reply.isObject())
        return Answer(TKind::Failed,
                      QStringLiteral("%1 gave an answer that is not one").arg(ownerName));
    TAnswer answer;
    answer.ownerPid = ownerPid;
    answer.reply = reply.object();
    const QString errorWord = answer.reply.value(QLatin1String("error")).toString();
    const QString message = answer.reply.value(QLatin1String("message")).toString();
    if (errorWord == QLatin1String("refused")) {
        answer.kind = TKind::Refused;
        answer.message = QStringLiteral("%1 refused: %2").arg(ownerName, message);
        return answer;
    }
    answer.kind = TKind::Answered;
    if (!answer.reply.value(QLatin1String("ok")).toBool())
        answer.message = QStringLiteral("%1: %2").arg(ownerName, message);
    return answer;
}

QJsonValue Printable(const QJsonValue& value) {
    if (value.isString())
        return PrintableText(value.toString());
    if (value.isArray()) {
        QJsonArray printable;
        for (const QJsonValue& item : value.toArray())
            printable.append(Printable(item));
        return printable;
    }
    if (!value.isObject())
        return value;
    QJsonObject printable;
    const QJsonObject object = value.toObject();
    for (auto it = object.begin(); it != object.end(); ++it)
        printable.insert(PrintableText(it.key()), Printable(it.value()));
    return printable;
}

TAnswer Ask(int comPortNum, const QByteArray& requestLine) {
    TAnswer failure;
    const std::optional<TTarget> target = Locate(comPortNum, &failure);
    if (!target)
        return failure;
    int error = 0;
    const TUniqueFd socket(Connect(target->path, &error));
    if (!socket.Valid())
        return ConnectFailure(*target, error);
    // Nothing has been handed over when the peer is not the holder: the port's own failure
    // stands.
    const ControlSocket::TPeer peer = ControlSocket::PeerOf(socket.Get());
    if (!HeldBy(peer, target->device))
        return Answer(TKind::NoOwner,
                      QStringLiteral("%1: %2 is not served by the process that holds the port; "
                                     "it was not used")
                          .arg(target->where, target->path));

    const QString owner = OwnerName(*target, peer.pid);
    const QDeadlineTimer deadline(AnswerTimeoutMs);
    // A refusal written before the request was sent is still read.
    Send(socket.Get(), requestLine, deadline);
    const std::optional<QByteArray> line = ReadLine(socket.Get(), deadline);
    if (!line)
        return Answer(TKind::Failed, QStringLiteral("%1 did not answer within %2 s; the command "
                                                    "may still be sent")
                                         .arg(owner)
                                         .arg(AnswerTimeoutMs / 1000));
    return Interpret(*line, peer.pid, owner);
}

int PrintStatus(int comPortNum) {
    ControlProtocol::TRequest request;
    request.command = ControlProtocol::TCommand::Status;
    const TAnswer answer = Ask(comPortNum, ControlProtocol::RequestLine(request));
    const QJsonValue state = answer.reply.value(QLatin1String("state"));
    if (answer.kind != TKind::Answered || !state.isObject()) {
        SayOnStandardError(answer.message.isEmpty()
                               ? QStringLiteral("the InCycler holding the port sent no state")
                               : answer.message);
        return 1;
    }
    const QByteArray text =
        QJsonDocument(Printable(state).toObject()).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace OwnerClient
