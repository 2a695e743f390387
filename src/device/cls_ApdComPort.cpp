#include "cls_ApdComPort.h"

#include "PortMap.h"
#include "common/Errors.h"
#include "form_ComSelect.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFileInfo>
#include <QThread>

#include <sys/ioctl.h>
#include <termios.h>

TApdComPort::TApdComPort(QObject* parent) : QObject(parent) {
    // Reading pauses while the queue is full, as a driver's handshake would hold the sender.
    m_port.setReadBufferSize(ReceiveQueueSize);
    connect(&m_port, &QSerialPort::readyRead, this, &TApdComPort::OnReadyRead);
    connect(&m_port, &QSerialPort::errorOccurred, this, &TApdComPort::OnErrorOccurred);
}

TApdComPort::~TApdComPort() {
    if (m_open) {
        // No nested event processing during destruction: just let go of the device.
        m_shuttingDown = true;
        DropQueuedBytes();
        m_port.close();
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

void TApdComPort::FailOpen(const QString& message) {
    if (m_port.isOpen())
        m_port.close();
    m_open = false;
    throw EComPortError(message);
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

    const QString name = PortMap::PortName(m_comNumber);
    const QString path = PortMap::DevicePath(m_comNumber);
    // Open the real device, not the link: the lock that keeps two programs off one port
    // is keyed on the name, so two names of one device must become the same name.
    const QString device = path.isEmpty() ? QString() : QFileInfo(path).canonicalFilePath();
    if (device.isEmpty())
        throw EComPortError(QStringLiteral("%1: no such serial port").arg(name));

    m_port.setPortName(device);
    if (!m_port.open(QIODevice::ReadWrite)) {
        const QString reason = m_port.error() == QSerialPort::PermissionError
                                   ? QStringLiteral("the port is in use or access is denied")
                                   : m_port.errorString();
        m_port.clearError();
        throw EComPortError(QStringLiteral("%1 (%2): %3").arg(name, device, reason));
    }
    try {
        ApplyLineSettings();
        // Pseudo-terminals have no modem lines; that must not fail the open.
        if (!m_port.setDataTerminalReady(true) &&
            m_port.error() != QSerialPort::UnsupportedOperationError)
            FailOpen(QStringLiteral("%1: cannot raise DTR: %2").arg(name, m_port.errorString()));
    } catch (...) {
        if (m_port.isOpen())
            m_port.close();
        throw;
    }
    m_port.clearError();
    m_device = device;
    m_open = true;
}

void TApdComPort::ApplyLineSettings() {
    const QString name = PortMap::PortName(m_comNumber);
    if (!m_port.setBaudRate(m_baud) || !m_port.setDataBits(QSerialPort::Data8) ||
        !m_port.setParity(QSerialPort::NoParity) || !m_port.setStopBits(QSerialPort::OneStop))
        FailOpen(QStringLiteral("%1: line settings refused: %2").arg(name, m_port.errorString()));

    const bool handshake = (m_hwFlow & (hwfUseRTS | hwfRequireCTS)) != 0;
    if (!m_port.setFlowControl(handshake ? QSerialPort::HardwareControl
                                         : QSerialPort::NoFlowControl))
        FailOpen(QStringLiteral("%1: flow control refused: %2").arg(name, m_port.errorString()));

    // Under the RTS handshake the driver owns the line; otherwise RTS is the level asked for.
    if (!(m_hwFlow & hwfUseRTS) && !m_port.setRequestToSend(m_rts) &&
        m_port.error() != QSerialPort::UnsupportedOperationError)
        FailOpen(QStringLiteral("%1: cannot set RTS: %2").arg(name, m_port.errorString()));
    m_port.clearError();
}

void TApdComPort::CloseSequence() {
    if (!m_open || m_shuttingDown)
        return;
    m_shuttingDown = true;
    DropQueuedBytes();
    m_port.close();
    // Handlers that were waiting run now, as they would while a driver's workers stop.
    QCoreApplication::processEvents();
    m_open = false;
    m_shuttingDown = false;
}

void TApdComPort::EnsureOpenForUse() {
    if (m_open)
        return;
    if (!m_autoOpen)
        throw EComPortError(
            QStringLiteral("%1: the port is not open").arg(PortMap::PortName(m_comNumber)));
    OpenSequence();
}

void TApdComPort::PutString(const QByteArray& s) {
    if (m_shuttingDown)
        return;
    EnsureOpenForUse();
    if (OutSize - m_port.bytesToWrite() < s.size())
        throw EComPortError(
            QStringLiteral("%1: output buffer full").arg(PortMap::PortName(m_comNumber)));
    if (m_port.write(s) != s.size())
        throw EComPortError(QStringLiteral("%1: write failed: %2")
                                .arg(PortMap::PortName(m_comNumber), m_port.errorString()));
}

void TApdComPort::GetBlock(char* block, quint16 len) {
    EnsureOpenForUse();
    if (m_port.bytesAvailable() < len)
        throw EComPortError(QStringLiteral("%1: fewer than %2 bytes received")
                                .arg(PortMap::PortName(m_comNumber))
                                .arg(len));
    if (len > 0 && m_port.read(block, len) != len)
        throw EComPortError(QStringLiteral("%1: read failed").arg(PortMap::PortName(m_comNumber)));
}

void TApdComPort::ProcessCommunications() {
    EnsureOpenForUse();
    QThread::yieldCurrentThread();
}

bool TApdComPort::DrainOutput(int timeoutMs) {
    if (!m_open)
        return true;
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    while (m_open && m_port.bytesToWrite() > 0 && !deadline.hasExpired())
        m_port.waitForBytesWritten(static_cast<int>(qMax<qint64>(1, deadline.remainingTime())));
    if (!m_open || m_port.bytesToWrite() > 0)
        return false;
    // Qt's buffer is empty; now wait for the driver's queue. tcdrain() could block for
    // ever without CTS, so poll the queue's length against the deadline instead.
    const int fd = static_cast<int>(m_port.handle());
    while (!deadline.hasExpired()) {
        int queued = 0;
        if (::ioctl(fd, TIOCOUTQ, &queued) != 0 || queued == 0)
            return true;
        QThread::msleep(1);
    }
    return false;
}

void TApdComPort::DropQueuedBytes() {
    // Unsent output and unread input are dropped. Output that has already left is left
    // alone: on a pseudo-terminal an output flush also throws away what has reached the
    // far end and not been read there yet, so a drained command would be lost after all.
    bool outputQueued = m_port.bytesToWrite() > 0;
    if (!outputQueued) {
        int queued = 0;
        // A queue that cannot be read is taken as full, so that it is flushed.
        outputQueued =
            ::ioctl(static_cast<int>(m_port.handle()), TIOCOUTQ, &queued) != 0 || queued > 0;
    }
    m_port.clear(outputQueued ? QSerialPort::AllDirections : QSerialPort::Input);
}

void TApdComPort::OnReadyRead() {
    const qint64 waiting = m_port.bytesAvailable();
    if (waiting <= 0)
        return;
    emit TriggerAvail(this, static_cast<quint16>(qMin<qint64>(waiting, ReceiveQueueSize)));
}

void TApdComPort::OnErrorOccurred(QSerialPort::SerialPortError error) {
    // A hung-up or unplugged device shows as a resource, read or write error (a pty that
    // lost its other side keeps failing its reads). Left open, QSerialPort would spin on
    // error signals at full CPU: close at once; the callers' open-on-demand paths take over.
    const bool deviceLost = error == QSerialPort::ResourceError ||
                            error == QSerialPort::ReadError || error == QSerialPort::WriteError;
    if (deviceLost && m_open)
        CloseSequence();
}
