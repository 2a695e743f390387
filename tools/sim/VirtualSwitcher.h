#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>

class QSocketNotifier;

// A stand-in for the RS-232 switcher at the far end of a pseudo-terminal. The program under
// test opens <portDir>/COM<n>, a symlink to the pty's slave side; the simulator answers on the
// master side. Everything runs on the owner's event loop (socket notifiers, one precise timer
// for delayed replies); no threads and no polling.
class VirtualSwitcher : public QObject {
    Q_OBJECT

public:
    enum class Model { A, B }; // A: RSX-24P, B: RSX-24Q

    struct Options {
        Model model = Model::A;
        int comNumber = 1;
        QString portDir;
        int replyDelayMs = 0; // 0: reply as soon as the command has been read
        bool mute = false;    // receive and change state, but never reply
        bool trace = false;   // one stdout line per received frame
        // A long-running simulator turns this off so that what it has received does not pile up
        // in memory; Frames(), TimedFrames() and RawReceived() then stay empty.
        bool keepHistory = true;
    };

    struct TimedFrame {
        qint64 monotonicNs = 0; // CLOCK_MONOTONIC when the frame's last byte was read
        QByteArray text;        // between ESC and CR, both excluded
    };

    explicit VirtualSwitcher(const Options& options, QObject* parent = nullptr);
    ~VirtualSwitcher() override;
    VirtualSwitcher(const VirtualSwitcher&) = delete;
    VirtualSwitcher& operator=(const VirtualSwitcher&) = delete;

    // Opens a new pty and points the link at it. False (with *error set when given) if it is
    // already running or anything fails; nothing is left behind on failure.
    bool Start(QString* error = nullptr);
    // Closes both sides of the pty (the program's side sees a hang-up) and removes the link.
    // Frames and bytes received so far are kept.
    void Stop();
    bool Running() const { return m_masterFd >= 0; }
    QString SlavePath() const { return m_slavePath; } // empty while stopped
    QString LinkPath() const;                         // <portDir>/COM<n>

    Model GetModel() const { return m_options.model; }
    bool PowerOn() const { return m_powerOn; }
    void SetPowerOn(bool on) { m_powerOn = on; }
    int SelectedInput() const { return m_input; }
    // Accepts 0..9 (the reply carries a single digit), so that tests can put the device in
    // states the commands never reach; other values are ignored.
    void SetSelectedInput(int input);
    bool Mute() const { return m_options.mute; }
    void SetMute(bool mute) { m_options.mute = mute; }
    int ReplyDelayMs() const { return m_options.replyDelayMs; }
    void SetReplyDelayMs(int ms) { m_options.replyDelayMs = ms < 0 ? 0 : ms; }

    // Holds back what the program writes, as a line with CTS low does: its bytes stay on its
    // side until the line is released. False when not running or the pty refuses.
    bool SetLineHeld(bool held);

    // Puts bytes on the line now, behind any reply still waiting for the line. Never blocks.
    void InjectRaw(const QByteArray& bytes);

    QList<QByteArray> Frames() const;
    QList<TimedFrame> TimedFrames() const { return m_frames; }
    void ClearFrames() { m_frames.clear(); }
    QByteArray RawReceived() const { return m_raw; }
    void ClearRawReceived() { m_raw.clear(); }

    static qint64 MonotonicNs();
    // Printable ASCII stays as it is; backslash, CR, LF, TAB and every other byte become C-style
    // escapes (\\, \r, \n, \t, \xHH).
    static QByteArray EscapeBytes(const QByteArray& bytes);
    // The reverse, accepting the C escapes \\ \' \" \? \a \b \f \n \r \t \v \e, \xH[H] and octal
    // \O[O[O]] (so \0 is NUL). False with *error set on a malformed escape.
    static bool UnescapeBytes(const QString& text, QByteArray* out, QString* error = nullptr);

signals:
    // After the frame has been recorded and acted on.
    void FrameReceived(const QByteArray& text);

private:
    struct PendingReply {
        qint64 dueNs;
        QByteArray frame;
    };

    void OnReadable();
    void OnWritable();
    void OnReplyTimer();
    void ArmReplyTimer();
    bool HandleFrame(const QByteArray& text, qint64 nowNs);
    void Reply(const QByteArray& text, qint64 receivedNs);
    void Write(const QByteArray& bytes);
    void FlushOut();
    void CloseFds();

    Options m_options;
    bool m_powerOn = false;
    int m_input = 1;

    int m_masterFd = -1;
    int m_slaveFd = -1;
    QString m_slavePath;
    quint64 m_generation = 0; // bumped by Stop, so handlers notice a stop made from a slot
    QSocketNotifier* m_readNotifier = nullptr;
    QSocketNotifier* m_writeNotifier = nullptr;
    QByteArray m_out; // bytes the pty did not take yet
    QList<PendingReply> m_pending;
    QTimer m_replyTimer;

    bool m_inFrame = false;
    QByteArray m_partial;
    QList<TimedFrame> m_frames;
    QByteArray m_raw;
};
