#pragma once

#include <QString>

// Whether another program could take the device (or the link to it) now, as picocom and
// minicom would find it: no flock on it and no lock file for it in /var/lock.
bool DeviceFree(const QString& path);
