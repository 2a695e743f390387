#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>

class QSocketNotifier;
class TSerialDevice;

// Hardware flow-control options of the port.
enum THWFlowOption : unsigned {
    hwfUseDTR = 1u << 0,
    hwfUseRTS = 1u << 1,
    hwfRequireDSR = 1u << 2,
    hwfRequireCTS = 1u << 3,
};
using THWFlowOptions = unsigned;

// The serial port object: a small driver over a Linux tty offering exactly what the program
// relies on. Every failure raises EComPortError with a message that names the port, the
// device and the reason ("COM5 (/dev/ttyUSB0): in use by process 4711 (minicom)").
//
// Everything runs on the GUI thread, on a non-blocking descriptor watched by socket
// notifiers: no threads, and no wake-ups while the line is quiet. Received bytes go into the
// receive queue and are announced through TriggerAvail; the handler takes them with
// GetBlock while it runs, and the queue does not change meanwhile.
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

    // True from the end of a successful open until a close completes.
    bool Open() const { return m_open; }
    void SetOpen(bool open);

    // Queues the bytes for sending and returns without waiting. Does nothing while the
    // port shuts down; opens a closed port first.
    void PutString(const QByteArray& s);

    // Inside the announcement: takes the next len unread bytes into block.
    void GetBlock(char* block, quint16 len);

    // Gives up the rest of the time slice.
    void ProcessCommunications();

    // Waits, at most timeoutMs, until every queued byte has left the port (the object's own
    // buffer and the driver's queue). Returns whether everything left in time. Close discards what
    // is still queued, so a caller that needs delivery waits here first.
    bool DrainOutput(int timeoutMs);

    // The resolved device the port was opened on (empty while closed).
    QString DevicePath() const { return m_open ? m_device : QString(); }

    // Whether bytes handed over have not all left the port yet (the object's own buffer or the
    // driver's queue).
    bool OutputPending() const;

signals:
    // The port has just been opened on DevicePath().
    void Opened();
    // The port is about to be closed; it still holds the device and its locks.
    void Closing();
    // The port has been closed because the line went away (hung up, unplugged), not because
    // anyone asked.
    void Lost();

    // Count received bytes are waiting (1 to ReceiveQueueSize).
    void TriggerAvail(TApdComPort* CP, quint16 Count);

private:
    void OpenSequence();
    void CloseSequence();
    void ApplyLineSettings();
    void EnsureOpenForUse();
    // Before a close: the purge, sparing output that has already left.
    void DropQueuedBytes();
    // Lets go of the device at once, without running any event.
    void ReleaseDevice();
    void OnReadable();
    void Announce();
    void ResumeReading();
    // Writes what the driver takes now. False when the device is gone.
    bool Flush();
    void OnWritable();
    [[noreturn]] void FailOpen(const QString& reason);

    std::unique_ptr<TSerialDevice> m_line;
    QSocketNotifier* m_readNotifier;
    QSocketNotifier* m_writeNotifier;
    QByteArray m_received; // the receive queue, at most ReceiveQueueSize bytes
    QByteArray m_output;   // not yet taken by the driver, at most OutSize bytes
    bool m_announcing = false;
    quint64 m_generation = 0; // bumped by every release, so a handler can tell it closed
    QString m_device;
    quint16 m_comNumber = 0;
    qint32 m_baud = 19200;
    THWFlowOptions m_hwFlow = 0;
    bool m_rts = true;
    bool m_open = false;
    bool m_shuttingDown = false;
};
