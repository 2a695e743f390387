#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

// How a port number ("COM<n>") maps to a device on Linux.
//
// With INCYCLER_PORT_DIR set (not empty), port n is the entry of that directory named
// exactly "COM<n>" (normally a link to a tty), and only those entries are the machine's
// ports; a directory that cannot be read has no ports at all, so that a mistyped name never
// falls back to another device. Nor has one that users other than its owner and root may
// write (nor one below a directory they may write that is not sticky), and a link on the way
// to a port's device through such a directory is not followed: whoever can write there could
// point a port at another device. Without it, numbers map by fixed ranges so that a device's
// number depends only on its name: COM1-COM32 are /dev/ttyS0-31, COM33-COM64
// /dev/ttyUSB0-31, COM65-COM96 /dev/ttyACM0-31.
namespace PortMap {

// Why INCYCLER_PORT_DIR gives no ports (a sentence naming the directory), or an empty
// string when it is unset or names a readable directory that only its owner and root write.
QString PortDirProblem();

// The device path for port n (not yet resolved), or an empty string when no device
// can carry that number.
QString DevicePath(int n);

// The device port n is, with links resolved: the name the lock file and the owner's socket
// are made from, so two names of one device become the same name. Empty, with *problem set
// ("COM5 (/dev/ttyUSB0): no such device"), when there is none.
QString ResolvedDevice(int n, QString* problem);

// The numbers of the ports present now, ascending: with INCYCLER_PORT_DIR, those of the
// directory's entries; without it, those of the serial devices that systemPorts names
// ("ttyUSB0", "ttyS1" ...; asked for only then), as far as a number maps to them.
QList<int> AvailablePorts(const std::function<QStringList()>& systemPorts);

// The port number for a device name such as "ttyUSB2" (35), or 0 when it has none.
int NumberForDeviceName(const QString& name);

QString PortName(int n);

} // namespace PortMap
