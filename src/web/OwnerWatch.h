#pragma once

#include "OwnerLink.h"
#include "cmdline/OwnerClient.h"
#include "common/WindowTimer.h"

#include <QJsonObject>
#include <QObject>
#include <QString>

// The one watch connection the service keeps on an owner's socket: {"command":"watch"} is
// answered with the state at once and again on every change. The owner is believed only when
// the device its state names has this socket as its own and is held, flock and user, by the
// process that answers.
class TOwnerWatch : public QObject {
    Q_OBJECT
public:
    TOwnerWatch(const QString& socketPath, QObject* parent);

    bool Believed() const { return m_believed; }
    // The last state, its texts made printable.
    const QJsonObject& State() const { return m_state; }
    OwnerClient::TTarget Target() const { return m_target; }
    qint64 Pid() const { return m_pid; }

signals:
    void Served();                               // believed, with its first state
    void StateChanged(const QJsonObject& state); // after Served, on every change
    // The watch has ended: the owner went away, or was never believed (why, for the log).
    void Ended(const QString& why);

private:
    void Connected();
    void Received(const QByteArray& line);
    void End(const QString& why);

    TOwnerLink m_link;
    // A socket that takes the connection and never answers (a listener that does not accept,
    // a stopped process) is given up and looked at again, so that an owner that replaces it
    // at the same path is found.
    TWindowTimer m_firstState;
    OwnerClient::TTarget m_target;
    QJsonObject m_state;
    qint64 m_pid = 0;
    bool m_believed = false;
    bool m_ended = false;
};
