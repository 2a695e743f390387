#pragma once

#include <QList>
#include <QString>

#include <sys/un.h>

// Where the InCycler that holds a port serves the others, and who may talk to whom.
//
// The sockets lie in a directory of their own that only root and the serial ports' group may
// write (/run/incycler, root:dialout 2770, made by the package's tmpfiles.d entry), named after
// the device as its lock file is ("/run/incycler/ttyUSB0.sock" beside "LCK..ttyUSB0"): every
// InCycler finds a port's socket from the port alone, whichever operator or service holds it,
// and no stranger can put a file there. Each socket admits only its owner and that group.
// Even so neither side trusts the other blindly: the owner asks each peer's credentials, the
// client asks whether its peer is the process that holds the device's flock, and as its user.
namespace ControlSocket {

// The packaged directory.
inline constexpr char RunDirectory[] = "/run/incycler";

// The directory in use: INCYCLER_RUN_DIR when set (a private set of owners, or tests), else
// /run/incycler, else, where it does not exist (a build run from its tree), the user's own
// $XDG_RUNTIME_DIR/incycler, made when create is set, which only the same user can reach.
// Empty, with *problem set, when none is fit: a directory that is a link, or that a user
// other than root and this one owns or every user may write, is never used.
QString Directory(bool create, QString* problem);

// The socket for a device, in Directory(create, problem); empty when there is none.
QString PathFor(const QString& devicePath, bool create, QString* problem);

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

// Who may use a port, worked out once per owner rather than per connection: a refusal must
// cost no name-service lookups.
struct TAccess {
    QString devicePath;
    bool deviceKnown = false;
    uint deviceGid = 0;
    QString refusal; // why a peer is refused, after "uid N"
};
TAccess AccessFor(const QString& devicePath);

// Whether the peer could open the device itself: root, this process's own user, or a member
// of the group that owns the device node. Otherwise why not, for the refusal.
bool MayUse(const TPeer& peer, const TAccess& access, QString* why);

// A listening socket at path that only its owner and the directory's group may connect to
// (its mode is set before it is bound, and again after, since the umask takes from it).
// A file left there by an earlier owner is replaced. -1, with *error set, when it cannot be
// made.
int Listen(const QString& path, QString* error);

} // namespace ControlSocket
