#include "WindowTimer.h"

TWindowTimer::TWindowTimer(QObject* parent, int interval, bool enabled)
    : QObject(parent), m_interval(interval), m_enabled(enabled) {
    m_timer.setTimerType(Qt::PreciseTimer);
    m_timer.setSingleShot(false);
    connect(&m_timer, &QTimer::timeout, this, &TWindowTimer::Timer);
    Rearm();
}

void TWindowTimer::SetEnabled(bool enabled) {
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    Rearm();
}

void TWindowTimer::SetInterval(int interval) {
    if (interval == m_interval)
        return;
    m_interval = interval;
    Rearm();
}

void TWindowTimer::SetDormant(bool dormant) {
    if (dormant == m_dormant)
        return;
    m_dormant = dormant;
    Rearm();
}

void TWindowTimer::Rearm() {
    m_timer.stop();
    if (m_enabled && !m_dormant && m_interval > 0)
        m_timer.start(m_interval);
}
