#include "SwitchingRules.h"

#include <QDateTime>
#include <QTime>

#include <cmath>
#include <cstdlib>

namespace SwitchingRules {

namespace {
// After a Start inside the window, the first firing comes this long after the grid point.
constexpr qint64 AfterGridPointMs = 100;
// The window's last switch: the timer fires this long after the end, when it is closed.
constexpr qint64 AfterWindowEndMs = 5000;
// A firing inside the window less than this many whole seconds after its start is its first.
constexpr qint64 FirstFiringSeconds = 2;
} // namespace

double TimeOfDayFromMs(qint64 msOfDay) {
    return static_cast<double>(msOfDay) / static_cast<double>(MsPerDay);
}

double TimeOfDay(const QTime& time) {
    return TimeOfDayFromMs(time.isValid() ? time.msecsSinceStartOfDay() : 0);
}

double TimeOfDay(const QDateTime& moment) {
    return TimeOfDay(moment.time());
}

int NextSourceNum(const QList<int>& list, int reported) {
    if (list.isEmpty())
        return 0;
    if (reported == 0 || list.last() < reported + 1)
        return list.first();
    // reported is below the last entry, so the entry after any match exists.
    const qsizetype p = list.indexOf(reported);
    return list.at(p + 1);
}

qint64 MsOfDay(double timeOfDay) {
    // nearbyint rounds in the current mode, which is to nearest with halves to even.
    return static_cast<qint64>(std::nearbyint(timeOfDay * static_cast<double>(MsPerDay)));
}

qint64 WholeSecondsBetween(double a, double b) {
    return std::llabs(MsOfDay(a) - MsOfDay(b)) / 1000;
}

bool IsInWindow(double start, double end, double now) {
    if (end > start)
        return start <= now && now < end;
    if (end < start)
        return now >= start || now < end;
    return false;
}

qint64 SecondsToEndTime(double end, double t) {
    if (end >= t)
        return WholeSecondsBetween(end, t);
    return WholeSecondsBetween(DayEnd, t) + WholeSecondsBetween(end, 0.0);
}

qint32 FirstIntervalForSetTime(double start, double end, qint64 interval, double t, int m) {
    qint64 e = 0;
    if (end > start) {
        e = WholeSecondsBetween(t, start);
    } else if (t < end) {
        // After midnight: the extra second makes up for the day ending at 23:59:59.
        e = WholeSecondsBetween(DayEnd, start) + (MsOfDay(t) + 1000) / 1000;
    } else {
        e = WholeSecondsBetween(start, t);
    }
    // A zero interval cannot come from the controls; it must not divide by zero either.
    const qint64 remainder = interval > 0 ? (e * 1000) % interval : 0;
    return static_cast<qint32>(interval - remainder - m + AfterGridPointMs);
}

std::optional<qint32> LastSwitchDelay(qint64 interval, qint64 secondsToEnd) {
    const qint64 r = secondsToEnd * 1000;
    if (interval > r)
        return static_cast<qint32>(r + AfterWindowEndMs);
    return std::nullopt;
}

bool RestartsRotation(double start, double t) {
    return WholeSecondsBetween(start, t) < FirstFiringSeconds;
}

qint32 WaitingSleepMs(double start, double end, qint64 nowMsOfDay,
                      std::optional<qint64> msToOffsetChange) {
    if (IsInWindow(start, end, TimeOfDayFromMs(nowMsOfDay)))
        return AtOnceMs;
    qint64 sleep = WaitingBackstopMs;
    if (start != end) {
        const qint64 toStart = ((MsOfDay(start) - nowMsOfDay) % MsPerDay + MsPerDay) % MsPerDay;
        sleep = qMin(sleep, toStart);
    }
    if (msToOffsetChange)
        sleep = qMin(sleep, *msToOffsetChange);
    return static_cast<qint32>(qMax<qint64>(sleep, AtOnceMs));
}

std::optional<qint64> IntervalMs(int value, int unitIndex) {
    // Unsigned multiplication wraps where a signed one would be undefined; the cast back
    // keeps the low 32 bits with their sign.
    switch (unitIndex) {
    case 0:
        return static_cast<qint64>(static_cast<qint32>(static_cast<quint32>(value) * 1000u));
    case 1:
        return static_cast<qint64>(static_cast<qint32>(static_cast<quint32>(value) * 60000u));
    default:
        return std::nullopt;
    }
}

} // namespace SwitchingRules
