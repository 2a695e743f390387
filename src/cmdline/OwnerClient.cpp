#include "OwnerClient.h"

#include "common/StandardError.h"
#include "control/ControlProtocol.h"
#include "control/ControlSocket.h"
#include "device/PortMap.h"
#include "device/SerialLock.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QLocalSocket>

#include <cstdio>
#include <sys/stat.h>

namespace {

constexpr int kConnectTimeoutMs = 2000;

// The device behind the port, resolved as the owner resolved it when it opened it.
QString DeviceFor(int comPortNum, QString* problem) {
    const QString name = PortMap::PortName(comPortNum);
    const QString path = PortMap::DevicePath(comPortNum);
    if (path.isEmpty()) {
        const QString dirProblem = PortMap::PortDirProblem();
        *problem = QStringLiteral("%1: %2").arg(
            name, dirProblem.isEmpty() ? QStringLiteral("no such device") : dirProblem);
        return {};
    }
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        *problem = QStringLiteral("%1 (%2): no such device").arg(name, path);
    return device;
}

OwnerClient::TAnswer Answer(OwnerClient::TKind kind, const QString& message) {
    OwnerClient::TAnswer answer;
    answer.kind = kind;
    answer.message = message;
    return answer;
}

} // namespace

namespace OwnerClient {

bool SocketPresent(int comPortNum) {
    QString problem;
    const QString device = DeviceFor(comPortNum, &problem);
    struct stat st {};
    return !device.isEmpty() &&
           ::lstat(QFile::encodeName(ControlSocket::PathFor(device)).constData(), &st) == 0 &&
           S_ISSOCK(st.st_mode);
}

TAnswer Ask(int comPortNum, const QByteArray& requestLine) {
    QString problem;
    const QString device = DeviceFor(comPortNum, &problem);
    if (device.isEmpty())
        return Answer(TKind::NoOwner, problem);
    const QString where = QStringLiteral("%1 (%2)").arg(PortMap::PortName(comPortNum), device);
    const QString path = ControlSocket::PathFor(device);

    QLocalSocket socket;
    socket.connectToServer(path);
    if (!socket.waitForConnected(kConnectTimeoutMs)) {
        // Still waiting in the owner's backlog: it is there, but taking others first.
        if (socket.error() == QLocalSocket::SocketTimeoutError)
            return Answer(TKind::Failed,
                          QStringLiteral("%1: the InCycler holding it did not take the connection "
                                         "within %2 s; it is busy, try again")
                              .arg(where)
                              .arg(kConnectTimeoutMs / 1000));
        const SerialLock::THolder holder = SerialLock::FlockHolder(device);
        if (holder.pid > 0)
            return Answer(TKind::NoOwner, QStringLiteral("%1: %2, which serves no requests")
                                              .arg(where, SerialLock::InUseText(holder)));
        return Answer(TKind::NoOwner, QStringLiteral("%1: no InCycler holds this port").arg(where));
    }
    // Anybody may have put a socket at the path: only the holder of the device is believed.
    const ControlSocket::TPeer peer = ControlSocket::PeerOf(int(socket.socketDescriptor()));
    const SerialLock::THolder holder = SerialLock::FlockHolder(device);
    // Nothing has been handed over: the port's own failure stands.
    if (!peer.known || holder.pid <= 0 || peer.pid != holder.pid)
        return Answer(TKind::NoOwner,
                      QStringLiteral("%1: %2 is not served by the process that holds the port; "
                                     "it was not used")
                          .arg(where, path));

    TAnswer answer;
    answer.ownerPid = peer.pid;
    const QString owner =
        QStringLiteral("the InCycler holding %1 (process %2)").arg(where).arg(peer.pid);
    socket.write(requestLine);
    socket.waitForBytesWritten(AnswerTimeoutMs);
    const QDeadlineTimer deadline(AnswerTimeoutMs);
    while (!socket.canReadLine() && !deadline.hasExpired() &&
           socket.state() == QLocalSocket::ConnectedState)
        socket.waitForReadyRead(int(qMax<qint64>(1, deadline.remainingTime())));
    if (!socket.canReadLine())
        return Answer(TKind::Failed, QStringLiteral("%1 did not answer within %2 s; the command "
                                                    "may still be sent")
                                         .arg(owner)
                                         .arg(AnswerTimeoutMs / 1000));
    const QJsonDocument reply = QJsonDocument::fromJson(socket.readLine());
    if (!reply.isObject())
        return Answer(TKind::Failed,
                      QStringLiteral("%1 gave an answer that is not one").arg(owner));
    answer.reply = reply.object();
    const QString error = answer.reply.value(QLatin1String("error")).toString();
    const QString message = answer.reply.value(QLatin1String("message")).toString();
    if (error == QLatin1String("refused")) {
        answer.kind = TKind::Refused;
        answer.message = QStringLiteral("%1 refused: %2").arg(owner, message);
        return answer;
    }
    answer.kind = TKind::Answered;
    if (!answer.reply.value(QLatin1String("ok")).toBool())
        answer.message = QStringLiteral("%1: %2").arg(owner, message);
    return answer;
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
    const QByteArray text = QJsonDocument(state.toObject()).toJson(QJsonDocument::Compact) + '\n';
    std::fwrite(text.constData(), 1, size_t(text.size()), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace OwnerClient
