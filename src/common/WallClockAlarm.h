#pragma once

#include <QObject>

class QSocketNotifier;

// Wakes the program when the wall clock reaches a moment, and at once when the clock is set.
// A TWindowTimer counts down on the monotonic clock, which neither follows a step of the
// wall clock (NTP, the administrator, daylight-saving by hand) nor runs while the machine
// is suspended; a long wait for a time of day needs the wall clock's side as well.
//
// On Linux a timerfd on CLOCK_REALTIME, absolute and cancelled by a clock set (the kernel
// also cancels it on resume from suspend), watched from the event loop: while armed it costs
// no wake-up. The program clock's own sets (Clock::AnnounceSet) count as clock sets too.
class TWallClockAlarm : public QObject {
    Q_OBJECT
public:
    explicit TWallClockAlarm(QObject* parent = nullptr);
    ~TWallClockAlarm() override;

    // Aims the alarm delayMs from now, replacing any earlier aim.
    void Arm(qint64 delayMs);
    void Disarm();
    bool Armed() const { return m_armed; }

signals:
    // The moment has come or the clock was set; the alarm is disarmed by then.
    void Due();

private:
    void OnReadable();
    void Fire();

    int m_fd = -1;
    QSocketNotifier* m_notifier = nullptr;
    bool m_armed = false;
};
