#pragma once

#include <QList>
#include <QtGlobal>

#include <optional>

class QDateTime;
class QTime;

// The pure rules of the switching control: which input comes next and the time-window
// arithmetic. The handlers of TFormMain read the clock and the controls and call these;
// tests pin the rules down without a window, a port or a clock.
//
// Times of day are fractions of a day (0.0 midnight, 0.5 noon). They are always built as
// whole milliseconds / 86,400,000, so that the same moment read twice gives the same
// double and comparisons at exact boundaries are exact.
namespace SwitchingRules {

inline constexpr qint64 MsPerDay = 86400000;

// 23:59:59: the day is taken to end here in the remaining-time and since-start sums.
inline constexpr double DayEnd = 86399.0 / 86400.0;

double TimeOfDayFromMs(qint64 msOfDay);
double TimeOfDay(const QTime& time);
double TimeOfDay(const QDateTime& moment);

// The input to select after the one the device reported: the entry following it in the
// ascending list; the first entry when the reported input is the last entry, is not
// listed or is unknown (0). The list must hold at least one entry.
int NextSourceNum(const QList<int>& list, int reported);

// x × 86,400,000 rounded to the nearest whole number, halves to even.
qint64 MsOfDay(double timeOfDay);

// |ms(a) − ms(b)| / 1000, truncated; independent of the order of a and b.
qint64 WholeSecondsBetween(double a, double b);

// Whether now lies in the window [start, end), which wraps midnight when end < start and
// is empty when end == start.
bool IsInWindow(double start, double end, double now);

// Whole seconds from t to end, counting the day as ending at 23:59:59 when the window
// wraps and t lies before midnight.
qint64 SecondsToEndTime(double end, double t);

// Milliseconds from a Start at t (inside the window) until the first rotation firing:
// 100 ms after the next point of the grid start + k × interval. m is the millisecond part
// of a clock reading taken after t. The result is the low 32 bits.
qint32 FirstIntervalForSetTime(double start, double end, qint64 interval, double t, int m);

// When less than one interval remains until the window's end, the switch just made is the
// last of the window, and the timer waits until a few seconds after the end: the delay for
// that (low 32 bits). Nothing when a full interval still fits.
std::optional<qint32> LastSwitchDelay(qint64 interval, qint64 secondsToEnd);

// Whether a firing at t inside the window is the window's first: it then restarts the
// rotation from the first listed input.
bool RestartsRotation(double start, double t);

// The interval of a rotation tick that is to decide at once (the shortest a timer takes).
inline constexpr qint32 AtOnceMs = 1;

// The longest the waiting rotation sleeps before it looks at the clock again: the guard
// against a change of the time zone, which no clock set announces.
inline constexpr qint32 WaitingBackstopMs = 15 * 60 * 1000;

// How long the rotation, waiting at nowMsOfDay (local time of day, whole ms) outside the
// window, sleeps: until the local clock reaches the window's start, but never past the next
// change of the local clock's UTC offset (msToOffsetChange, from the same reading; at that
// moment the opening is computed anew, so a start time that a daylight-saving jump skips
// opens at the jump) and never longer than the backstop. 1 ms when the window is already
// open at that reading, so that the tick decides at once; the backstop for an empty window.
qint32 WaitingSleepMs(double start, double end, qint64 nowMsOfDay,
                      std::optional<qint64> msToOffsetChange);

// The switching interval in milliseconds for the spin value and the unit index (0 seconds,
// 1 minutes), formed in 32 bits and widened; nothing for another index.
std::optional<qint64> IntervalMs(int value, int unitIndex);

} // namespace SwitchingRules
