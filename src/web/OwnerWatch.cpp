#include "OwnerWatch.h"

#include "common/PrintableText.h"
#include "control/ControlSocket.h"

#include <QJsonDocument>

#include <cerrno>
#include <cstring>

TOwnerWatch::TOwnerWatch(const QString& socketPath, QObject* parent)
    : QObject(parent), m_link(this), m_firstState(this, OwnerClient::AnswerTimeoutMs, false) {
    m_target.path = socketPath;
    connect(&m_firstState, &TWindowTimer::Timer, this, [this] {
        m_firstState.SetEnabled(false);
        End(QStringLiteral("%1 gave no state within %2 s")
                .arg(m_target.path)
                .arg(OwnerClient::AnswerTimeoutMs / 1000));
    });
    connect(&m_link, &TOwnerLink::Connected, this, &TOwnerWatch::Connected);
    connect(&m_link, &TOwnerLink::Line, this, &TOwnerWatch::Received);
    connect(&m_link, &TOwnerLink::Ended, this, [this](int error) {
        End(error == 0 ? QStringLiteral("%1: the owner closed").arg(m_target.path)
                       : QStringLiteral("%1: %2").arg(
                             m_target.path, QString::fromLocal8Bit(std::strerror(error))));
    });
    m_link.Open(socketPath);
}

void TOwnerWatch::Connected() {
    m_pid = m_link.Peer().pid;
    m_firstState.SetEnabled(true);
    m_link.Send(QByteArrayLiteral("{\"command\":\"watch\"}\n"));
}

void TOwnerWatch::Received(const QByteArray& line) {
    if (m_ended)
        return;
    const QJsonObject event = QJsonDocument::fromJson(line).object();
    const QJsonValue state = event.value(QLatin1String("state"));
    if (event.value(QLatin1String("event")).toString() != QLatin1String("state") ||
        !state.isObject()) {
        End(QStringLiteral("%1 does not watch: %2")
                .arg(m_target.path,
                     event.value(QLatin1String("message")).toString(QStringLiteral("no state"))));
        return;
    }
    if (!m_believed) {
        // The device as the owner names it: believed only if its socket is this one and its
        // flock is the peer's.
        const QString device = state.toObject().value(QLatin1String("device")).toString();
        QString problem;
        if (device.isEmpty() || ControlSocket::PathFor(device, false, &problem) != m_target.path ||
            !OwnerClient::HeldBy(m_link.Peer(), device)) {
            End(QStringLiteral("%1 is not served by the process that holds %2")
                    .arg(m_target.path, device));
            return;
        }
        m_target.device = device;
        m_target.where = PrintableText(QStringLiteral("%1 (%2)").arg(
            state.toObject().value(QLatin1String("port")).toString(), device));
    }
    m_firstState.SetEnabled(false);
    m_state = OwnerClient::Printable(state).toObject();
    if (!std::exchange(m_believed, true))
        emit Served();
    else
        emit StateChanged(m_state);
}

void TOwnerWatch::End(const QString& why) {
    m_firstState.SetEnabled(false);
    if (!std::exchange(m_ended, true))
        emit Ended(why);
}
