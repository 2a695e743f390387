#pragma once

#include <QDateTime>
#include <QObject>
#include <functional>

// Announces that the program's clock was set, as opposed to running on: the test clock's
// counterpart of the kernel's notice that the system clock was set. Whoever sleeps until a
// moment of the wall clock listens.
class TClockNotifier : public QObject {
    Q_OBJECT
signals:
    void ClockSet();
};

// The one reading of the local date and time that the whole program uses. Tests move it
// by an offset (real timers keep running while the program believes it is another time)
// or replace it outright.
namespace Clock {

QDateTime Now();

// Shifts every later reading by offsetMs milliseconds (0 restores the system clock).
void SetOffsetMs(qint64 offsetMs);
qint64 OffsetMs();

// Replaces the clock; an empty function restores the system clock (with its offset).
void SetSource(std::function<QDateTime()> source);

// A change of the offset or of the source is announced by itself; a test whose source
// moves to another time on its own terms announces that with AnnounceSet.
TClockNotifier* Notifier();
void AnnounceSet();

} // namespace Clock
