#include "cls_ApdComPort.h"

#include "PortMap.h"
#include "SerialDevice.h"
#include "common/Errors.h"
#include "form_ComSelect.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QThread>

#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace {
// One wait for the line to take more output; the drain's loop comes round until its deadline.
constexpr qint64 kLongestOutputWaitMs = 60000;
// How often the drain looks at the driver's queue while bytes are still in it.
constexpr unsigned long kDriverQueueLookMs = 1;
} // namespace

TApdComPort::TApdComPort(QObject* parent)
    : QObject(parent), m_line(std::make_unique<TSerialDevice>()),
      m_readNotifier(new QSocketNotifier(QSocketNotifier::Read, this)),
      m_writeNotifier(new QSocketNotifier(QSocketNotifier::Write, this)) {
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &TApdComPort::OnReadable);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &TApdComPort::OnWritable);
}

TApdComPort::~TApdComPort() {
    if (m_open) {
        emit Closing();
        // No nested event processing during destruction: just let go of the device.
        m_shuttingDown = true;
        DropQueuedBytes();
        ReleaseDevice();
        m_open = false;
    }
}

void TApdComPort::SetComNumber(quint16 comNumber) {
    if (comNumber == m_comNumber)
        return;
    if (!m_open) {
        m_comNumber = comNumber;
        return;
    }
    CloseSequence();
    m_comNumber = comNumber;
    OpenSequence();
}

void TApdComPort::SetBaud(qint32 baud) {
    if (baud == m_baud)
        return;
    m_baud = baud;
    if (m_open)
        ApplyLineSettings();
}

void TApdComPort::SetHWFlowOptions(THWFlowOptions options) {
    if (options == m_hwFlow)
        return;
    m_hwFlow = options;
    if (m_open)
        ApplyLineSettings();
}

void TApdComPort::SetRTS(bool rts) {
    if (rts == m_rts)
        return;
    m_rts = rts;
    if (m_open)
        ApplyLineSettings();
}

void TApdComPort::SetOpen(bool open) {
    if (open == m_open)
        return;
    if (open)
        OpenSequence();
    else
        CloseSequence();
}

void TApdComPort::FailOpen(const QString& reason) {
    const QString name = PortMap::PortName(m_comNumber);
    const QString device = m_device;
    ReleaseDevice();
    m_open = false;
    throw EComPortError(QStringLiteral("%1 (%2): %3").arg(name, device, reason));
}

void TApdComPort::OpenSequence() {
    if (m_open || m_shuttingDown)
        return;
    if (m_comNumber == 0) {
        const int chosen = TComSelectForm::ChoosePort();
        if (chosen == 0)
            throw EComPortError(QStringLiteral("No serial port was chosen"));
        m_comNumber = static_cast<quint16>(chosen);
    }

    // Open the real device, not the link: the lock file is named after the device.
    QString problem;
    const QString device = PortMap::ResolvedDevice(m_comNumber, &problem);
    if (device.isEmpty())
        throw EComPortError(problem);

    m_device = device;
    const QString reason = m_line->Open(device);
    if (!reason.isEmpty())
        FailOpen(reason);
    ApplyLineSettings();
    const QString dtr = m_line->RaiseDtr();
    if (!dtr.isEmpty())
        FailOpen(dtr);

    m_received.clear();
    m_output.clear();
    m_readNotifier->setSocket(m_line->Fd());
    m_writeNotifier->setSocket(m_line->Fd());
    m_readNotifier->setEnabled(true);
    m_open = true;
    emit Opened();
}

void TApdComPort::ApplyLineSettings() {
    const bool handshake = (m_hwFlow & (hwfUseRTS | hwfRequireCTS)) != 0;
    const QString reason = m_line->Configure(m_baud, handshake, m_rts);
    if (!reason.isEmpty())
        FailOpen(reason);
}

void TApdComPort::ReleaseDevice() {
    m_readNotifier->setEnabled(false);
    m_writeNotifier->setEnabled(false);
    m_line->Close();
    m_received.clear();
    m_output.clear();
    m_announcing = false;
    ++m_generation;
}

void TApdComPort::CloseSequence() {
    if (!m_open || m_shuttingDown)
        return;
    emit Closing();
    m_shuttingDown = true;
    DropQueuedBytes();
    ReleaseDevice();
    // Handlers that were waiting run now, as they would while a driver's workers stop.
    QCoreApplication::processEvents();
    m_open = false;
    m_shuttingDown = false;
}

void TApdComPort::EnsureOpenForUse() {
    if (m_open)
        return;
    OpenSequence();
}

void TApdComPort::PutString(const QByteArray& s) {
    if (m_shuttingDown)
        return;
    EnsureOpenForUse();
    if (OutSize - m_output.size() < s.size())
        throw EComPortError(
            QStringLiteral("%1: output buffer full").arg(PortMap::PortName(m_comNumber)));
    m_output.append(s);
    if (!Flush()) {
        CloseSequence();
        throw EComPortError(QStringLiteral("%1: write failed: the device is gone")
                                .arg(PortMap::PortName(m_comNumber)));
    }
}

bool TApdComPort::Flush() {
    while (!m_output.isEmpty() && m_line->IsOpen()) {
        const ssize_t n = ::write(m_line->Fd(), m_output.constData(), size_t(m_output.size()));
        if (n > 0) {
            m_output.remove(0, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)
            return false;
        // The line holds back (no CTS, or a pty's output stopped): on when it takes more.
        m_writeNotifier->setEnabled(true);
        return true;
    }
    m_writeNotifier->setEnabled(false);
    return true;
}

void TApdComPort::OnWritable() {
    if (!Flush())
        CloseSequence();
}

void TApdComPort::GetBlock(char* block, quint16 len) {
    EnsureOpenForUse();
    if (m_received.size() < len)
        throw EComPortError(QStringLiteral("%1: fewer than %2 bytes received")
                                .arg(PortMap::PortName(m_comNumber))
                                .arg(len));
    std::copy_n(m_received.constData(), len, block);
    m_received.remove(0, len);
    ResumeReading();
}

void TApdComPort::ProcessCommunications() {
    EnsureOpenForUse();
    QThread::yieldCurrentThread();
}

bool TApdComPort::DrainOutput(int timeoutMs) {
    if (!m_open)
        return true;
    const QDeadlineTimer deadline(qMax(0, timeoutMs), Qt::PreciseTimer);
    while (!m_output.isEmpty()) {
        if (!Flush()) {
            CloseSequence();
            return false;
        }
        if (m_output.isEmpty())
            break;
        const qint64 left = deadline.remainingTime();
        if (left == 0)
            return false;
        pollfd p{m_line->Fd(), POLLOUT, 0};
        // A line held back by flow control never turns writable: the deadline ends this.
        if (::poll(&p, 1, int(qMin(left, kLongestOutputWaitMs))) > 0 && !(p.revents & POLLOUT)) {
            if (!Flush())
                CloseSequence();
            return false;
        }
    }
    // Now the driver's queue. tcdrain() could block for ever without CTS, so poll its
    // length against the deadline instead.
    while (!deadline.hasExpired()) {
        if (!OutputPending())
            return true;
        QThread::msleep(kDriverQueueLookMs);
    }
    return false;
}

bool TApdComPort::OutputPending() const {
    if (!m_open)
        return false;
    int queued = 0;
    return !m_output.isEmpty() || (::ioctl(m_line->Fd(), TIOCOUTQ, &queued) == 0 && queued > 0);
}

void TApdComPort::DropQueuedBytes() {
    // Unsent output and unread input are dropped. Output that has already left is left
    // alone: on a pseudo-terminal an output flush also throws away what has reached the
    // far end and not been read there yet, so a drained command would be lost after all.
    bool outputQueued = !m_output.isEmpty();
    if (!outputQueued) {
        int queued = 0;
        // A queue that cannot be read is taken as full, so that it is flushed.
        outputQueued = ::ioctl(m_line->Fd(), TIOCOUTQ, &queued) != 0 || queued > 0;
    }
    ::tcflush(m_line->Fd(), outputQueued ? TCIOFLUSH : TCIFLUSH);
    m_output.clear();
    m_received.clear();
}

void TApdComPort::OnReadable() {
    if (!m_open || m_shuttingDown || m_announcing)
        return;
    const qsizetype room = ReceiveQueueSize - m_received.size();
    if (room <= 0) {
        // Reading pauses while the queue is full, as a driver's handshake would hold the
        // sender; GetBlock resumes it.
        m_readNotifier->setEnabled(false);
        return;
    }
    char buffer[ReceiveQueueSize];
    ssize_t n = 0;
    do
        n = ::read(m_line->Fd(), buffer, size_t(room));
    while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // Woken with nothing to read: harmless once, but a line that reports a hang-up or
        // an error this way would wake the loop for ever.
        pollfd p{m_line->Fd(), POLLIN, 0};
        if (::poll(&p, 1, 0) <= 0 || !(p.revents & (POLLHUP | POLLERR | POLLNVAL)))
            return;
    }
    if (n <= 0) {
        // Hung up or unplugged: end of file, or EIO for a pty whose other side has gone.
        // The descriptor stays readable for ever, so close at once rather than spin; the
        // callers' open-on-demand paths take over.
        CloseSequence();
        emit Lost();
        return;
    }
    m_received.append(buffer, n);
    Announce();
}

void TApdComPort::Announce() {
    const quint64 generation = m_generation;
    // The queue stays as it is while the handler runs.
    m_announcing = true;
    m_readNotifier->setEnabled(false);
    const auto after = qScopeGuard([this, generation] {
        if (m_generation != generation)
            return; // closed inside the handler
        m_announcing = false;
        ResumeReading();
    });
    emit TriggerAvail(this, static_cast<quint16>(m_received.size()));
}

void TApdComPort::ResumeReading() {
    if (m_open && !m_shuttingDown && !m_announcing && m_line->IsOpen())
        m_readNotifier->setEnabled(m_received.size() < ReceiveQueueSize);
}
