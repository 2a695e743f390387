#pragma once

#include <QObject>
#include <QTimer>

// A window timer with the rules the schedulers rely on:
//  - enabling starts the countdown at that moment; the timer then fires every Interval
//    until it is disabled;
//  - setting Enabled or Interval to the value it already has changes nothing (the
//    countdown is not restarted);
//  - changing Interval while enabled restarts the countdown at that moment;
//  - an interval of 0 never fires.
// A handler that disables its timer first and enables it last thus fires again one
// interval after its own end. Always a precise timer: coarse timers may fire up to 5 %
// off (and snap to whole seconds above 10 s), which would wreck the time-window grid.
class TWindowTimer : public QObject {
    Q_OBJECT
public:
    explicit TWindowTimer(QObject* parent = nullptr, int interval = 1000, bool enabled = false);

    bool Enabled() const { return m_enabled; }
    void SetEnabled(bool enabled);

    int Interval() const { return m_interval; }
    void SetInterval(int interval);

    // While dormant an enabled timer does not wake the process; leaving the dormant state
    // starts a fresh countdown. For a poll whose tick provably changes nothing.
    void SetDormant(bool dormant);

    // Whether the underlying timer is armed, that is, whether a firing is due.
    bool Armed() const { return m_timer.isActive(); }

signals:
    void Timer();

private:
    void Rearm();

    QTimer m_timer;
    int m_interval;
    bool m_enabled;
    bool m_dormant = false;
};
