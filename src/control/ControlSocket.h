#pragma once

#include <QList>
#include <QString>

#include <sys/un.h>

// Where the InCycler that holds a port serves the others, and who may talk to whom.
//
// The socket lies in the lock directory beside the port's lock file, named after the device
// as the lock file is ("/var/lock/incycler..ttyUSB0" beside "LCK..ttyUSB0"): every InCycler
// finds it from the port alone, whichever user or service holds the port, and the hardened
// service may write there. Anyone can put a file there, so neither side trusts the path: the
// owner asks each peer's credentials, the client asks whether its peer holds the device's
// flock.
namespace ControlSocket {

QString PathFor(const QString& devicePath);

// The socket address of path; false when the name is too long for one.
bool AddressFor(const QString& path, sockaddr_un* address);

// The other end of a connected local socket, from the kernel.
struct TPeer {
    bool known = false;
    qint64 pid = 0;
    uint uid = 0;
    uint gid = 0;
    QList<uint> groups; // the supplementary ones
};
TPeer PeerOf(int fd);

// Whether the peer could open the device itself: root, this process's own user, or a member
// of the group that owns the device node. Otherwise why not, for the refusal.
bool MayUse(const TPeer& peer, const QString& devicePath, QString* why);

// A listening socket at path, reachable by every local user (the owner checks who connects).
// A file left there by an earlier owner is replaced. -1, with *error set, when it cannot be
// made.
int Listen(const QString& path, QString* error);

} // namespace ControlSocket
