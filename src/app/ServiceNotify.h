#pragma once

#include <QString>

class QObject;

// What a long-running InCycler without a window (the rotation, any headless owner of a port)
// tells the service manager, for a unit of Type=notify with WatchdogSec=. Outside systemd
// (no NOTIFY_SOCKET) every call does nothing, and without WATCHDOG_USEC no timer runs, so
// such a process wakes no more often than before.
namespace ServiceNotify {

// Pings the watchdog from the event loop at half the period the manager asks for: a loop
// that stops turning stops the pings, and the manager kills and restarts the process.
void StartWatchdog(QObject* parent);

// The process does what it was started for, or waits for what it needs; status says which.
void Ready(const QString& status);

// A new status line; the same line again is not sent.
void Status(const QString& status);

} // namespace ServiceNotify
