#include "SerialLock.h"

#include <QFile>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace {

// Debian's /var/lock is a link to /run/lock; the tools name it by the older path.
const QString kLockDir = QStringLiteral("/var/lock");

// A lock file with no readable PID may be one whose writer has not finished yet.
constexpr qint64 kUnreadableGraceSeconds = 5;

// Lock files are a few bytes; anything longer is not one to trust.
constexpr qint64 kMaxLockFileBytes = 128;

QByteArray ReadSmallFile(const QString& path, bool* readable) {
    QFile file(path);
    *readable = file.open(QIODevice::ReadOnly);
    return *readable ? file.read(kMaxLockFileBytes) : QByteArray();
}

// Seconds since the file was last written, against the system clock that stamped it (not
// the program's local clock, which tests may shift).
qint64 AgeSeconds(const QByteArray& path) {
    struct stat st {};
    if (::stat(path.constData(), &st) != 0)
        return 0;
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec) - qint64(st.st_mtim.tv_sec);
}

} // namespace

namespace SerialLock {

QString InUseText(const THolder& holder) {
    if (holder.pid <= 0)
        return QStringLiteral("in use by another program");
    if (holder.name.isEmpty())
        return QStringLiteral("in use by process %1").arg(holder.pid);
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
    bool readable = false;
    const QByteArray comm = ReadSmallFile(QStringLiteral("/proc/%1/comm").arg(pid), &readable);
    return QString::fromLocal8Bit(comm.trimmed());
}

std::optional<THolder> LiveLockFileHolder(const QString& devicePath) {
    const QString path = LockFilePath(devicePath);
    const QByteArray encoded = QFile::encodeName(path);
    struct stat st {};
    // Lock files are plain files; anything else by that name is nobody's lock.
    if (::lstat(encoded.constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return std::nullopt;
    bool readable = false;
    const QByteArray content = ReadSmallFile(path, &readable);
    // A file that is there but cannot be read is someone's lock all the same.
    if (!readable)
        return THolder{};
    const qint64 pid = ParseLockPid(content);
    if (pid > 0 && ProcessAlive(pid))
        return THolder{pid, ProcessName(pid)};
    if (pid == 0 && qAbs(AgeSeconds(encoded)) < kUnreadableGraceSeconds)
        return THolder{};
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
        return {};
    // "1: FLOCK  ADVISORY  WRITE 4711 00:1b:3 0 EOF": the device as major:minor (hex) of
    // its file system and the inode; waiting requests ("1: -> FLOCK ...") are skipped.
    const QList<QByteArray> lines = locks.readAll().split('\n');
    for (const QByteArray& line : lines) {
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
        return pid > 0 ? THolder{pid, ProcessName(pid)} : THolder{};
    }
    return {};
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
    bool readable = false;
    // Left alone if it is no longer ours: whoever wrote it over holds it now.
    if (ParseLockPid(ReadSmallFile(m_path, &readable)) == qint64(::getpid()))
        ::unlink(QFile::encodeName(m_path).constData());
    m_path.clear();
}

} // namespace SerialLock
