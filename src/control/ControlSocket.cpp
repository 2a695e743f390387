#include "ControlSocket.h"

#include "device/SerialLock.h"

#include <QDir>
#include <QFile>

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

// The socket admits its owner and the directory's group (the serial ports' group in the
// packaged directory), nobody else.
constexpr mode_t kSocketMode = 0660;

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

// Why a directory is not fit to hold sockets that others believe, or an empty string.
QString Unfit(const QString& path, bool privateToUser) {
    struct stat st {};
    if (::lstat(QFile::encodeName(path).constData(), &st) != 0)
        return QStringLiteral("%1: %2").arg(path, SystemText(errno));
    if (S_ISLNK(st.st_mode))
        return QStringLiteral("%1 is a symbolic link").arg(path);
    if (!S_ISDIR(st.st_mode))
        return QStringLiteral("%1 is not a directory").arg(path);
    if (st.st_uid != 0 && st.st_uid != ::geteuid())
        return QStringLiteral("%1 belongs to %2").arg(path, UserName(st.st_uid));
    if ((st.st_mode & (privateToUser ? S_IRWXG | S_IRWXO : S_IWOTH)) != 0)
        return QStringLiteral("%1 is open to other users (mode %2)")
            .arg(path)
            .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    return {};
}

QString Checked(const QString& path, QString* problem) {
    *problem = Unfit(path, false);
    return problem->isEmpty() ? path : QString();
}

} // namespace

namespace ControlSocket {

QString Directory(bool create, QString* problem) {
    const QString chosen = qEnvironmentVariable("INCYCLER_RUN_DIR");
    if (!chosen.isEmpty())
        return Checked(QDir::cleanPath(chosen), problem);
    const QString packaged = QString::fromLatin1(RunDirectory);
    struct stat st {};
    if (::lstat(RunDirectory, &st) == 0)
        return Checked(packaged, problem);

    // Without the package, a directory only this user can enter keeps strangers out as well;
    // it serves this user (and root) alone.
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (runtime.isEmpty() || !Unfit(runtime, true).isEmpty()) {
        *problem = QStringLiteral("%1 does not exist (the package makes it at boot; now: sudo "
                                  "systemd-tmpfiles --create incycler.conf) and there is no "
                                  "private XDG_RUNTIME_DIR instead")
                       .arg(packaged);
        return {};
    }
    const QString own = QDir(runtime).filePath(QStringLiteral("incycler"));
    if (create && ::mkdir(QFile::encodeName(own).constData(), 0700) != 0 && errno != EEXIST) {
        *problem = QStringLiteral("%1: %2").arg(own, SystemText(errno));
        return {};
    }
    return Checked(own, problem);
}

QString PathFor(const QString& devicePath, bool create, QString* problem) {
    const QString directory = Directory(create, problem);
    if (directory.isEmpty())
        return {};
    // "LCK..ttyUSB0" gives "ttyUSB0.sock".
    return QDir(directory).filePath(SerialLock::LockFileName(devicePath).mid(5) +
                                    QStringLiteral(".sock"));
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

TAccess AccessFor(const QString& devicePath) {
    TAccess access;
    access.devicePath = devicePath;
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0) {
        access.refusal = QStringLiteral("%1: %2").arg(devicePath, SystemText(errno));
        return access;
    }
    access.deviceKnown = true;
    access.deviceGid = st.st_gid;
    access.refusal = QStringLiteral(" is neither root, nor %1 (who holds the port), nor in the "
                                    "group %2 that may open %3")
                         .arg(UserName(::geteuid()), GroupName(st.st_gid), devicePath);
    return access;
}

bool MayUse(const TPeer& peer, const TAccess& access, QString* why) {
    if (!peer.known) {
        *why = QStringLiteral("its credentials cannot be read");
        return false;
    }
    if (peer.uid == 0 || peer.uid == ::geteuid())
        return true;
    if (access.deviceKnown &&
        (peer.gid == access.deviceGid || peer.groups.contains(access.deviceGid)))
        return true;
    *why = access.deviceKnown ? QStringLiteral("uid %1").arg(peer.uid) + access.refusal
                              : access.refusal;
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
    // is an earlier owner's leftover (one that was killed), which any operator may replace.
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
    const auto fail = [&](int reason, bool bound) {
        *error = QStringLiteral("%1: %2").arg(path, SystemText(reason));
        if (bound)
            ::unlink(name.constData());
        ::close(fd);
        return -1;
    };
    // Linux gives the bound file the mode of the socket less the umask: never more open than
    // meant, not even for the moment before the mode is set in full.
    if (::fchmod(fd, kSocketMode) != 0)
        return fail(errno, false);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail(errno, false);
    if (::chmod(name.constData(), kSocketMode) != 0 || ::listen(fd, kBacklog) != 0)
        return fail(errno, true);
    return fd;
}

} // namespace ControlSocket
