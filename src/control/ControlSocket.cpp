#include "ControlSocket.h"

#include "device/SerialLock.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Pending connections the kernel keeps while the owner is busy; more are refused by it.
constexpr int kBacklog = 64;

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

QString UserName(uint uid) {
    const passwd* entry = ::getpwuid(uid);
    return entry != nullptr ? QString::fromLocal8Bit(entry->pw_name)
                            : QStringLiteral("uid %1").arg(uid);
}

QString GroupName(uint gid) {
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? QString::fromLocal8Bit(entry->gr_name)
                            : QStringLiteral("gid %1").arg(gid);
}

} // namespace

namespace ControlSocket {

QString PathFor(const QString& devicePath) {
    const QFileInfo lockFile(SerialLock::LockFilePath(devicePath));
    // "LCK..ttyUSB0" gives "incycler..ttyUSB0".
    return lockFile.path() + QStringLiteral("/incycler") + lockFile.fileName().mid(3);
}

TPeer PeerOf(int fd) {
    TPeer peer;
    ucred credentials{};
    socklen_t length = sizeof credentials;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0)
        return peer;
    peer.known = true;
    peer.pid = credentials.pid;
    peer.uid = credentials.uid;
    peer.gid = credentials.gid;
    // The supplementary groups as they were when the peer connected.
    gid_t groups[NGROUPS_MAX];
    socklen_t size = sizeof groups;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups, &size) == 0) {
        for (socklen_t i = 0; i < size / sizeof(gid_t); ++i)
            peer.groups.append(groups[i]);
    }
    return peer;
}

bool MayUse(const TPeer& peer, const QString& devicePath, QString* why) {
    if (!peer.known) {
        *why = QStringLiteral("its credentials cannot be read");
        return false;
    }
    if (peer.uid == 0 || peer.uid == ::geteuid())
        return true;
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0) {
        *why = QStringLiteral("%1: %2").arg(devicePath, SystemText(errno));
        return false;
    }
    if (peer.gid == st.st_gid || peer.groups.contains(uint(st.st_gid)))
        return true;
    *why = QStringLiteral("%1 is neither root, nor %2 (who holds the port), nor in the group %3 "
                          "that may open %4")
               .arg(UserName(peer.uid), UserName(::geteuid()), GroupName(st.st_gid), devicePath);
    return false;
}

bool AddressFor(const QString& path, sockaddr_un* address) {
    const QByteArray name = QFile::encodeName(path);
    *address = sockaddr_un{};
    address->sun_family = AF_UNIX;
    if (size_t(name.size()) >= sizeof address->sun_path)
        return false;
    std::memcpy(address->sun_path, name.constData(), size_t(name.size()));
    return true;
}

int Listen(const QString& path, QString* error) {
    const QByteArray name = QFile::encodeName(path);
    sockaddr_un address;
    if (!AddressFor(path, &address)) {
        *error = QStringLiteral("%1: the name is too long").arg(path);
        return -1;
    }

    // The caller holds the device, so no other InCycler serves it: whatever is at the path
    // is an earlier owner's leftover, or someone else's file that cannot be taken away.
    struct stat st {};
    if (::lstat(name.constData(), &st) == 0 && ::unlink(name.constData()) != 0) {
        *error = QStringLiteral("%1 belongs to %2 and cannot be replaced (%3)")
                     .arg(path, UserName(st.st_uid), SystemText(errno));
        return -1;
    }
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = SystemText(errno);
        return -1;
    }
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, SystemText(errno));
        ::close(fd);
        return -1;
    }
    if (::chmod(name.constData(), 0666) != 0 || ::listen(fd, kBacklog) != 0) {
        *error = QStringLiteral("%1: %2").arg(path, SystemText(errno));
        ::unlink(name.constData());
        ::close(fd);
        return -1;
    }
    return fd;
}

} // namespace ControlSocket
