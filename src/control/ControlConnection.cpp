#include "ControlConnection.h"

#include "common/WindowTimer.h"

#include <QSocketNotifier>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

TControlConnection::TControlConnection(int fd, int maxLineBytes, int maxUnsentBytes, int lifetimeMs,
                                       QObject* parent)
    : QObject(parent), m_fd(fd), m_maxLineBytes(maxLineBytes), m_maxUnsentBytes(maxUnsentBytes),
      m_read(new QSocketNotifier(fd, QSocketNotifier::Read, this)),
      m_write(new QSocketNotifier(fd, QSocketNotifier::Write, this)),
      m_lifetime(new TWindowTimer(this, lifetimeMs, true)) {
    m_write->setEnabled(false);
    connect(m_read, &QSocketNotifier::activated, this, &TControlConnection::OnReadable);
    connect(m_write, &QSocketNotifier::activated, this, &TControlConnection::OnWritable);
    connect(m_lifetime, &TWindowTimer::Timer, this, &TControlConnection::Drop);
}

void TControlConnection::Watch() {
    m_watching = true;
    m_lifetime->SetEnabled(false);
    m_in.clear();
    m_read->setEnabled(!m_eof);
}

TControlConnection::~TControlConnection() {
    if (m_fd >= 0)
        ::close(m_fd);
}

void TControlConnection::OnReadable() {
    if (m_watching) {
        char discarded[512];
        const ssize_t n = ::recv(m_fd, discarded, sizeof discarded, 0);
        if (n > 0 || (n < 0 && (errno == EAGAIN || errno == EINTR)))
            return;
        // A client that has only closed its sending side (socat at the end of its input) still
        // reads; one that has closed the connection has gone.
        m_eof = true;
        m_read->setEnabled(false);
        pollfd p{m_fd, POLLOUT, 0};
        if (n < 0 || (::poll(&p, 1, 0) > 0 && (p.revents & (POLLHUP | POLLERR))))
            Drop();
        return;
    }
    // A line longer than allowed is noticed without holding more of it.
    const qsizetype room = m_maxLineBytes + 2 - m_in.size();
    if (room <= 0) {
        m_read->setEnabled(false);
        emit Readable();
        return;
    }
    char buffer[4096];
    const ssize_t n = ::recv(m_fd, buffer, size_t(qMin<qsizetype>(room, sizeof buffer)), 0);
    if (n > 0) {
        m_in.append(buffer, n);
    } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The client has said all it will say; what it asked for is still answered.
        m_eof = true;
        m_read->setEnabled(false);
    }
    emit Readable();
}

std::optional<QByteArray> TControlConnection::TakeLine(bool* tooLong) {
    *tooLong = false;
    const qsizetype end = m_in.indexOf('\n');
    if (end < 0) {
        *tooLong = m_in.size() > m_maxLineBytes;
        return std::nullopt;
    }
    QByteArray line = m_in.left(end);
    m_in.remove(0, end + 1);
    if (line.endsWith('\r'))
        line.chop(1);
    if (!m_eof && !m_closing)
        m_read->setEnabled(true);
    return line;
}

bool TControlConnection::InputDone() const {
    return m_eof && !m_in.contains('\n');
}

void TControlConnection::Write(const QByteArray& bytes) {
    if (m_fd < 0)
        return;
    if (m_out.size() + bytes.size() > m_maxUnsentBytes) {
        Drop();
        return;
    }
    m_out.append(bytes);
    Flush();
}

void TControlConnection::CloseAfterWriting() {
    m_closing = true;
    m_read->setEnabled(false);
    if (m_out.isEmpty())
        Drop();
}

void TControlConnection::OnWritable() {
    Flush();
}

void TControlConnection::Flush() {
    while (!m_out.isEmpty() && m_fd >= 0) {
        const ssize_t n =
            ::send(m_fd, m_out.constData(), size_t(m_out.size()), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            m_out.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno == EAGAIN) {
            m_write->setEnabled(true);
            return;
        } else {
            Drop(); // the client is gone
            return;
        }
    }
    m_write->setEnabled(false);
    if (m_closing)
        Drop();
}

void TControlConnection::Drop() {
    if (m_fd < 0)
        return;
    m_read->setEnabled(false);
    m_write->setEnabled(false);
    ::close(m_fd);
    m_fd = -1;
    emit Ended();
}
