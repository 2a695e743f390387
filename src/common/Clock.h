#pragma once

#include <QDateTime>
#include <functional>

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

} // namespace Clock
