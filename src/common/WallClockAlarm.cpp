#include "WallClockAlarm.h"

#include "Clock.h"

#include <QSocketNotifier>

#include <cerrno>
#include <cstdint>
#include <ctime>
#include <sys/timerfd.h>
#include <unistd.h>

TWallClockAlarm::TWallClockAlarm(QObject* parent) : QObject(parent) {
    m_fd = timerfd_create(CLOCK_REALTIME, TFD_NONBLOCK | TFD_CLOEXEC);
    if (m_fd < 0) {
        // Only the program clock's own sets are seen then; the caller's backstop re-check
        // catches the rest.
        qWarning("TWallClockAlarm: timerfd_create failed (errno %d); clock sets go unseen", errno);
    } else {
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        m_notifier->setEnabled(false);
        connect(m_notifier, &QSocketNotifier::activated, this, &TWallClockAlarm::OnReadable);
    }
    connect(Clock::Notifier(), &TClockNotifier::ClockSet, this, [this] {
        if (m_armed)
            Fire();
    });
}

TWallClockAlarm::~TWallClockAlarm() {
    delete m_notifier;
    if (m_fd >= 0)
        ::close(m_fd);
}

void TWallClockAlarm::Arm(qint64 delayMs) {
    m_armed = true;
    if (m_fd < 0)
        return;
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const qint64 delay = qMax<qint64>(delayMs, 1);
    itimerspec expiry{};
    expiry.it_value.tv_sec = now.tv_sec + static_cast<time_t>(delay / 1000);
    expiry.it_value.tv_nsec = now.tv_nsec + static_cast<long>(delay % 1000) * 1000000L;
    if (expiry.it_value.tv_nsec >= 1000000000L) {
        expiry.it_value.tv_sec += 1;
        expiry.it_value.tv_nsec -= 1000000000L;
    }
    // A clock set between the reading above and this call goes unseen until the aimed
    // moment; the window of that is a few microseconds.
    if (timerfd_settime(m_fd, TFD_TIMER_ABSTIME | TFD_TIMER_CANCEL_ON_SET, &expiry, nullptr) != 0) {
        qWarning("TWallClockAlarm: timerfd_settime failed (errno %d)", errno);
        return;
    }
    m_notifier->setEnabled(true);
}

void TWallClockAlarm::Disarm() {
    if (!m_armed)
        return;
    m_armed = false;
    if (m_fd < 0)
        return;
    m_notifier->setEnabled(false);
    const itimerspec off{};
    timerfd_settime(m_fd, 0, &off, nullptr);
}

void TWallClockAlarm::OnReadable() {
    std::uint64_t expirations = 0;
    const ssize_t n = ::read(m_fd, &expirations, sizeof expirations);
    // ECANCELED: the clock was set. Anything but an expiry or a cancel (EAGAIN after a
    // spurious wake-up) leaves the alarm armed.
    if (n == sizeof expirations || (n < 0 && errno == ECANCELED))
        Fire();
}

void TWallClockAlarm::Fire() {
    Disarm();
    emit Due();
}
