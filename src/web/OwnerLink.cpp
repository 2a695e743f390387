#include "OwnerLink.h"

#include "cmdline/OwnerClient.h"

#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <sys/socket.h>
#include <unistd.h>

namespace {

// As the one-shot's client: 20 ms between the tries while the backlog is full, 2 s in all.
constexpr int kRetryMs = 20;
constexpr int kConnectTimeoutMs = 2000;

} // namespace

TOwnerLink::TOwnerLink(QObject* parent) : QObject(parent), m_retry(this, kRetryMs, false) {
    connect(&m_retry, &TWindowTimer::Timer, this, &TOwnerLink::TryConnect);
}

TOwnerLink::~TOwnerLink() {
    m_reader.reset();
    m_writer.reset();
    if (m_fd >= 0)
        ::close(m_fd);
}

void TOwnerLink::Open(const QString& path) {
    m_path = path;
    m_connectDeadline.setRemainingTime(kConnectTimeoutMs);
    // Connected and Ended come from the loop, so that the caller has made its connections.
    QTimer::singleShot(0, this, &TOwnerLink::TryConnect);
}

ControlSocket::TPeer TOwnerLink::Peer() const {
    return m_fd >= 0 ? ControlSocket::PeerOf(m_fd) : ControlSocket::TPeer{};
}

void TOwnerLink::TryConnect() {
    m_retry.SetEnabled(false);
    int error = 0;
    m_fd = OwnerClient::ConnectOnce(m_path, &error);
    if (m_fd < 0) {
        if (error != EAGAIN)
            End(error);
        else if (m_connectDeadline.hasExpired())
            End(ETIMEDOUT);
        else
            m_retry.SetEnabled(true);
        return;
    }
    m_reader = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
    connect(m_reader.get(), &QSocketNotifier::activated, this, &TOwnerLink::Readable);
    m_writer = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Write);
    m_writer->setEnabled(false);
    connect(m_writer.get(), &QSocketNotifier::activated, this, &TOwnerLink::Writable);
    emit Connected();
}

void TOwnerLink::Send(const QByteArray& bytes) {
    m_unsent += bytes;
    Writable();
}

void TOwnerLink::Writable() {
    while (m_fd >= 0 && !m_unsent.isEmpty()) {
        const ssize_t n = ::send(m_fd, m_unsent.constData(), size_t(m_unsent.size()),
                                 MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_unsent.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            break;
        } else {
            // The owner may have answered and closed; its answer is still read.
            m_unsent.clear();
        }
    }
    if (m_writer)
        m_writer->setEnabled(!m_unsent.isEmpty());
}

void TOwnerLink::Readable() {
    const QPointer<TOwnerLink> alive(this);
    for (;;) {
        char buffer[4096];
        const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno == EAGAIN)
            return;
        if (n <= 0) {
            End(n == 0 ? 0 : errno);
            return;
        }
        m_received.append(buffer, n);
        for (qsizetype end; (end = m_received.indexOf('\n')) >= 0;) {
            QByteArray line = m_received.left(end);
            m_received.remove(0, end + 1);
            if (line.endsWith('\r'))
                line.chop(1);
            emit Line(line);
            if (!alive || m_fd < 0)
                return;
        }
        if (m_received.size() > OwnerClient::MaxReplyBytes) {
            End(EMSGSIZE);
            return;
        }
    }
}

void TOwnerLink::End(int error) {
    m_retry.SetEnabled(false);
    m_reader.reset();
    m_writer.reset();
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = -1;
    emit Ended(error);
}
