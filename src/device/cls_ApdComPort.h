#pragma once

#include <QByteArray>
#include <QObject>
#include <QSerialPort>

// Hardware flow-control options of the port.
enum THWFlowOption : unsigned {
    hwfUseDTR = 1u << 0,
    hwfUseRTS = 1u << 1,
    hwfRequireDSR = 1u << 2,
    hwfRequireCTS = 1u << 3,
};
using THWFlowOptions = unsigned;

// The serial port object: a small driver over QSerialPort offering exactly what the
// program relies on. Every failure raises EComPortError with a message.
//
// Everything runs on the GUI thread. Received bytes are announced through TriggerAvail,
// emitted from QSerialPort::readyRead; the handler takes them with GetBlock while it runs.
class TApdComPort : public QObject {
    Q_OBJECT
public:
    static constexpr int OutSize = 4096;
    static constexpr int ReceiveQueueSize = 8192;

    explicit TApdComPort(QObject* parent = nullptr);
    ~TApdComPort() override;

    quint16 ComNumber() const { return m_comNumber; }
    // A change while open closes the port and opens it again on the new number; a failing
    // reopen raises and leaves the port closed.
    void SetComNumber(quint16 comNumber);

    qint32 Baud() const { return m_baud; }
    void SetBaud(qint32 baud);

    THWFlowOptions HWFlowOptions() const { return m_hwFlow; }
    void SetHWFlowOptions(THWFlowOptions options);

    bool RTS() const { return m_rts; }
    void SetRTS(bool rts);

    bool AutoOpen() const { return m_autoOpen; }
    void SetAutoOpen(bool autoOpen) { m_autoOpen = autoOpen; }

    // True from the end of a successful open until a close completes.
    bool Open() const { return m_open; }
    void SetOpen(bool open);

    bool ShuttingDown() const { return m_shuttingDown; }

    // Queues the bytes for sending and returns without waiting. Does nothing while the
    // port shuts down; opens a closed port first when AutoOpen is on.
    void PutString(const QByteArray& s);

    // Inside the announcement: takes the next len unread bytes into block.
    void GetBlock(char* block, quint16 len);

    // Gives up the rest of the time slice.
    void ProcessCommunications();

    // Waits, at most timeoutMs, until every queued byte has left the port (Qt's buffer and
    // the driver's queue). Returns whether everything left in time. Close discards what
    // is still queued, so a caller that needs delivery waits here first.
    bool DrainOutput(int timeoutMs);

    // The resolved device the port was opened on (empty while closed).
    QString DevicePath() const { return m_open ? m_device : QString(); }

signals:
    // Count received bytes are waiting (1 to ReceiveQueueSize).
    void TriggerAvail(TApdComPort* CP, quint16 Count);

private:
    void OpenSequence();
    void CloseSequence();
    void ApplyLineSettings();
    void EnsureOpenForUse();
    // Before a close: the purge, sparing output that has already left.
    void DropQueuedBytes();
    void OnReadyRead();
    void OnErrorOccurred(QSerialPort::SerialPortError error);
    [[noreturn]] void FailOpen(const QString& message);

    QSerialPort m_port;
    QString m_device;
    quint16 m_comNumber = 0;
    qint32 m_baud = 19200;
    THWFlowOptions m_hwFlow = 0;
    bool m_rts = true;
    bool m_autoOpen = true;
    bool m_open = false;
    bool m_shuttingDown = false;
};
