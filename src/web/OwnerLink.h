#pragma once

#include "common/WindowTimer.h"
#include "control/ControlSocket.h"

#include <QByteArray>
#include <QDeadlineTimer>
#include <QObject>
#include <QString>

#include <memory>

class QSocketNotifier;

// One connection to an owner's socket on the event loop: the web service must never wait in a
// blocking call while its other clients wait. Lines each way; the owner's are bounded as the
// one-shot's client bounds them.
class TOwnerLink : public QObject {
    Q_OBJECT
public:
    explicit TOwnerLink(QObject* parent = nullptr);
    ~TOwnerLink() override;

    // Connects, trying again while the owner's backlog is full (for as long as the one-shot
    // waits); Connected or Ended follows, never from within this call.
    void Open(const QString& path);
    ControlSocket::TPeer Peer() const;
    void Send(const QByteArray& bytes);

signals:
    void Connected();
    void Line(const QByteArray& line);
    // error: 0 when the owner closed, else why the connection could not be made or went on
    // (ETIMEDOUT: the backlog stayed full; EMSGSIZE: a line too long to be a reply).
    void Ended(int error);

private:
    void TryConnect();
    void Readable();
    void Writable();
    void End(int error);

    QString m_path;
    int m_fd = -1;
    TWindowTimer m_retry;
    QDeadlineTimer m_connectDeadline;
    std::unique_ptr<QSocketNotifier> m_reader;
    std::unique_ptr<QSocketNotifier> m_writer;
    QByteArray m_received;
    QByteArray m_unsent;
};
