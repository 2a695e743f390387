#pragma once

#include "TestSupport.h"

#include <QAbstractEventDispatcher>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <functional>

// What the fault drills share: a count of the event loop's wake-ups and a real event loop run
// until something has happened (the process's CPU time is ProcessCpuMs, in TestSupport.h).
namespace DrillSupport {

// Counts how often the GUI thread's event loop woke up from waiting. A loop that spins
// never waits, so it is measured by CPU time instead; this catches a loop woken over and
// over by something that is always ready (a timer of 0 ms, a descriptor that stays
// readable).
class TWakeCounter {
public:
    TWakeCounter() {
        QAbstractEventDispatcher* d = QAbstractEventDispatcher::instance();
        m_connection = QObject::connect(d, &QAbstractEventDispatcher::awake, [this] { ++m_wakes; });
    }
    ~TWakeCounter() { QObject::disconnect(m_connection); }
    TWakeCounter(const TWakeCounter&) = delete;
    TWakeCounter& operator=(const TWakeCounter&) = delete;

    int Wakes() const { return m_wakes; }

private:
    QMetaObject::Connection m_connection;
    int m_wakes = 0;
};

// Runs a real event loop (one that blocks while nothing is due, as the program's own does)
// until done() holds, checking it after every wake-up, or until timeoutMs has passed.
// Returns whether done() held.
inline bool RunLoopUntil(const std::function<bool()>& done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    QElapsedTimer elapsed;
    elapsed.start();
    bool ok = false;
    const auto check = [&] {
        if (done()) {
            ok = true;
            loop.quit();
        } else if (elapsed.elapsed() >= timeoutMs) {
            loop.quit();
        }
    };
    const QMetaObject::Connection c =
        QObject::connect(QAbstractEventDispatcher::instance(),
                         &QAbstractEventDispatcher::aboutToBlock, &loop, check);
    // A loop that never blocks must still end.
    QTimer deadline;
    deadline.setSingleShot(true);
    QObject::connect(&deadline, &QTimer::timeout, &loop, check);
    deadline.start(timeoutMs);
    loop.exec();
    QObject::disconnect(c);
    return ok;
}

} // namespace DrillSupport
