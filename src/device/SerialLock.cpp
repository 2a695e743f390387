#include "SerialLock.h"

#include "common/PrintableText.h"
#include "common/StandardError.h"
#include "common/UniqueFd.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <vector>

namespace {

// Debian's /var/lock is a link to /run/lock; the tools name it by the older path.
const QString kLockDir = QStringLiteral("/var/lock");

// A lock file with no readable PID may be one whose writer has not finished yet.
constexpr qint64 kUnreadableGraceSeconds = 5;

// Lock files are a few bytes; anything longer is not one to trust.
constexpr qint64 kMaxLockFileBytes = 128;

// A line of /proc/locks is about 60 bytes; a longer one is not one of its lines.
constexpr qint64 kMaxLocksLineBytes = 256;
// /proc/PID/status's Groups line holds up to 65536 numbers; more than enough for the device's.
constexpr qint64 kMaxStatusLineBytes = 65536;

// What lies at a lock file's name.
struct TLockFileFound {
    enum TKind {
        Missing,
        Regular,    // a plain file, read: content, and st from its descriptor
        Unreadable, // a plain file this user may not read: st from lstat
        NotAFile,   // what: "a FIFO", "a symbolic link" ...
    } kind = Missing;
    struct stat st {};
    QByteArray content;
    QString what;
};

QString KindName(mode_t mode) {
    if (S_ISLNK(mode))
        return QStringLiteral("a symbolic link");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    if (S_ISCHR(mode) || S_ISBLK(mode))
        return QStringLiteral("a device");
    if (S_ISDIR(mode))
        return QStringLiteral("a directory");
    return QStringLiteral("not a plain file");
}

// Opens the name as a lock file may be opened in a directory that every user can write: never
// blocking (a FIFO would hold an open for ever), never following a link, and checking that
// what was opened is the plain file that lstat saw, not one swapped in meanwhile.
TLockFileFound FindLockFile(const QByteArray& path) {
    TLockFileFound found;
    struct stat seen {};
    if (::lstat(path.constData(), &seen) != 0)
        return found;
    if (!S_ISREG(seen.st_mode)) {
        found.kind = TLockFileFound::NotAFile;
        found.what = KindName(seen.st_mode);
        return found;
    }
    int fd;
    do
        fd = ::open(path.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (errno == ENOENT)
            return found;
        if (errno == ELOOP) { // made a link since lstat looked
            found.kind = TLockFileFound::NotAFile;
            found.what = KindName(S_IFLNK);
        } else {
            found.kind = TLockFileFound::Unreadable;
            found.st = seen;
        }
        return found;
    }
    const TUniqueFd file(fd);
    if (::fstat(fd, &found.st) != 0 || !S_ISREG(found.st.st_mode) ||
        found.st.st_dev != seen.st_dev || found.st.st_ino != seen.st_ino) {
        found.kind = TLockFileFound::NotAFile;
        found.what = QStringLiteral("a file swapped while it was read");
        return found;
    }
    found.kind = TLockFileFound::Regular;
    char buffer[kMaxLockFileBytes];
    ssize_t got;
    do
        got = ::read(fd, buffer, sizeof buffer);
    while (got < 0 && errno == EINTR);
    if (got > 0)
        found.content = QByteArray(buffer, got);
    return found;
}

// Seconds since the file was last written, against the system clock that stamped it (not
// the program's local clock, which tests may shift).
qint64 AgeSeconds(const struct stat& st) {
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) - qint64(st.st_mtim.tv_sec);
}

bool InGroup(uint uid, uint gid) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* user = nullptr;
    if (::getpwuid_r(uid_t(uid), &entry, buffer.data(), buffer.size(), &user) != 0 ||
        user == nullptr)
        return false;
    if (user->pw_gid == gid)
        return true;
    int count = 64;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    while (::getgrouplist(user->pw_name, user->pw_gid, groups.data(), &count) < 0) {
        if (count <= int(groups.size()))
            return false;
        groups.resize(size_t(count));
    }
    return std::find(groups.begin(), groups.begin() + count, gid_t(gid)) != groups.begin() + count;
}

} // namespace

namespace SerialLock {

QString InUseText(const THolder& holder) {
    const QString hidden = QStringLiteral("in use by another program (hidden from this service)");
    if (holder.pid <= 0)
        return holder.hidden ? hidden : QStringLiteral("in use by another program");
    // Alive, as the caller has found, but without an entry in /proc that can be read.
    if (holder.name.isEmpty())
        return hidden + QStringLiteral(", process %1").arg(holder.pid);
    return QStringLiteral("in use by process %1 (%2)").arg(holder.pid).arg(holder.name);
}

QString LockFileName(const QString& devicePath) {
    const QString dev = QStringLiteral("/dev/");
    QString name =
        devicePath.startsWith(dev) ? devicePath.mid(dev.size()) : QFileInfo(devicePath).fileName();
    name.replace(QLatin1Char('/'), QLatin1Char('_'));
    return QStringLiteral("LCK..") + name;
}

QString LockFilePath(const QString& devicePath) {
    return kLockDir + QLatin1Char('/') + LockFileName(devicePath);
}

qint64 ParseLockPid(const QByteArray& content) {
    const auto isText = [](char c) { return (c >= '0' && c <= '9') || c == ' ' || c == '\n'; };
    if (content.size() == qsizetype(sizeof(int)) &&
        !std::all_of(content.begin(), content.end(), isText)) {
        int pid = 0;
        std::memcpy(&pid, content.constData(), sizeof pid);
        return pid > 0 ? pid : 0;
    }
    const qsizetype end = content.indexOf('\n');
    bool ok = false;
    const qint64 pid = (end < 0 ? content : content.left(end)).trimmed().toLongLong(&ok);
    return ok && pid > 0 ? pid : 0;
}

bool ProcessAlive(qint64 pid) {
    if (pid <= 0 || pid != qint64(pid_t(pid)))
        return false;
    return ::kill(pid_t(pid), 0) == 0 || errno == EPERM;
}

QString ProcessName(qint64 pid) {
    QFile comm(QStringLiteral("/proc/%1/comm").arg(pid));
    if (!comm.open(QIODevice::ReadOnly))
        return {};
    return PrintableText(QString::fromLocal8Bit(comm.read(kMaxLockFileBytes).trimmed()));
}

std::optional<TCredentials> ProcessCredentials(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (pid <= 0 || !status.open(QIODevice::ReadOnly))
        return std::nullopt;
    // "Uid:\t1000\t1000\t1000\t1000" (real, effective, saved, file system), "Gid:" alike,
    // "Groups:\t20 27 1000": the supplementary groups as the process holds them now.
    const auto ids = [](const QByteArray& line) {
        QList<uint> values;
        for (const QByteArray& field : line.mid(line.indexOf(':') + 1).simplified().split(' ')) {
            bool ok = false;
            const uint value = field.toUInt(&ok);
            if (ok)
                values.append(value);
        }
        return values;
    };
    TCredentials credentials;
    bool user = false;
    for (;;) {
        const QByteArray line = status.readLine(kMaxStatusLineBytes);
        if (line.isEmpty())
            break;
        const QList<uint> values = ids(line);
        if (line.startsWith("Uid:") && values.size() > 1) {
            credentials.uid = values[1];
            user = true;
        } else if (line.startsWith("Gid:") && values.size() > 1) {
            credentials.groups.prepend(values[1]);
        } else if (line.startsWith("Groups:")) {
            credentials.groups += values;
        }
    }
    return user ? std::optional<TCredentials>(credentials) : std::nullopt;
}

bool MayOpen(uint uid, const QString& devicePath, qint64 pid) {
    struct stat st {};
    if (uid == 0)
        return true;
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0)
        return false;
    if (uid == st.st_uid || InGroup(uid, st.st_gid))
        return true;
    // A service's groups (systemd's SupplementaryGroups=) are no user's in the group database:
    // the process that made the file, running as the file's owner, shows them.
    const std::optional<TCredentials> maker = ProcessCredentials(pid);
    return maker && maker->uid == uid && maker->groups.contains(uint(st.st_gid));
}

std::optional<THolder> LiveLockFileHolder(const QString& devicePath) {
    const QString path = LockFilePath(devicePath);
    const QByteArray encoded = QFile::encodeName(path);
    const TLockFileFound found = FindLockFile(encoded);
    QString passedOver;
    switch (found.kind) {
    case TLockFileFound::Missing:
        return std::nullopt;
    case TLockFileFound::NotAFile:
        passedOver = QStringLiteral("%1 is %2, not a lock file: passed over").arg(path, found.what);
        break;
    case TLockFileFound::Regular:
    case TLockFileFound::Unreadable: {
        const qint64 pid = ParseLockPid(found.content);
        const bool alive = pid > 0 && ProcessAlive(pid);
        const bool young = qAbs(AgeSeconds(found.st)) < kUnreadableGraceSeconds;
        // The file's process is gone: stale, whoever made it.
        if (found.kind == TLockFileFound::Regular && !alive && (pid > 0 || !young))
            break;
        // Anyone may write a lock file: only one whose maker could have opened the port
        // itself keeps the others off it.
        if (!MayOpen(found.st.st_uid, devicePath, alive ? pid : 0)) {
            passedOver = QStringLiteral("%1 was made by uid %2, who may not open %3: not honoured")
                             .arg(path)
                             .arg(found.st.st_uid)
                             .arg(devicePath);
            break;
        }
        // A file that is there but cannot be read (or not yet) is someone's lock all the same.
        return alive ? THolder{pid, ProcessName(pid)} : THolder{};
    }
    }
    if (!passedOver.isEmpty()) {
        SayOnceOnStandardError(passedOver);
    }
    // Stale. A file that cannot be removed (another user's, without root) is still stale:
    // it is passed over, and the flock keeps the real users apart.
    ::unlink(encoded.constData());
    return std::nullopt;
}

THolder FlockHolder(const QString& devicePath) {
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) != 0)
        return {};
    QFile locks(QStringLiteral("/proc/locks"));
    if (!locks.open(QIODevice::ReadOnly))
        return THolder{0, {}, true};
    // "1: FLOCK  ADVISORY  WRITE 4711 00:1b:3 0 EOF": the device as major:minor (hex) of
    // its file system and the inode; waiting requests ("1: -> FLOCK ...") are skipped. Any
    // user can make the file long, so it is read a line at a time.
    for (;;) {
        const QByteArray line = locks.readLine(kMaxLocksLineBytes);
        if (line.isEmpty())
            return {};
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() < 6 || fields[1] != "FLOCK")
            continue;
        const QList<QByteArray> id = fields[5].split(':');
        if (id.size() != 3)
            continue;
        bool okMajor = false, okMinor = false, okInode = false;
        const uint maj = id[0].toUInt(&okMajor, 16);
        const uint min = id[1].toUInt(&okMinor, 16);
        const qulonglong inode = id[2].toULongLong(&okInode);
        if (!okMajor || !okMinor || !okInode || maj != major(st.st_dev) ||
            min != minor(st.st_dev) || inode != st.st_ino)
            continue;
        const qint64 pid = fields[4].toLongLong();
        // 0 or -1: the holder is not visible from this process's PID namespace.
        return pid > 0 ? THolder{pid, ProcessName(pid)} : THolder{0, {}, true};
    }
}

bool TLockFile::Acquire(const QString& devicePath, THolder* holder) {
    Release();
    const QString path = LockFilePath(devicePath);
    const QByteArray encoded = QFile::encodeName(path);
    // Once more after a stale file has been cleared away.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = ::open(encoded.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const QByteArray content =
                QStringLiteral("%1\n").arg(qint64(::getpid()), 10).toLatin1();
            const bool written =
                ::write(fd, content.constData(), size_t(content.size())) == ssize_t(content.size());
            if (::close(fd) != 0 || !written) {
                ::unlink(encoded.constData());
                return true;
            }
            m_path = path;
            return true;
        }
        if (errno != EEXIST)
            return true;
        if (const std::optional<THolder> live = LiveLockFileHolder(devicePath)) {
            *holder = *live;
            return false;
        }
    }
    return true;
}

void TLockFile::Release() {
    if (m_path.isEmpty())
        return;
    // Left alone if it is no longer ours: whoever wrote it over holds it now.
    const QByteArray encoded = QFile::encodeName(m_path);
    const TLockFileFound found = FindLockFile(encoded);
    if (found.kind == TLockFileFound::Regular && ParseLockPid(found.content) == qint64(::getpid()))
        ::unlink(encoded.constData());
    m_path.clear();
}

} // namespace SerialLock
