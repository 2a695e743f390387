#include "SerialDevice.h"

#include "DeviceRefusal.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemText(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// Devices are given to a group (dialout for serial ports on Debian); membership of it is
// what an operator refused the port most often lacks.
QString PermissionText(const QString& devicePath) {
    QString text = QStringLiteral("Permission denied");
    struct stat st {};
    if (::stat(QFile::encodeName(devicePath).constData(), &st) == 0 && st.st_gid != 0) {
        if (const group* g = ::getgrgid(st.st_gid))
            text += QStringLiteral("; is the user in the group %1?")
                        .arg(QString::fromLocal8Bit(g->gr_name));
    }
    return text;
}

// Another user's TIOCEXCL. A real tty drops it at its last close, a pseudo-terminal only
// when its other end closes: after a crash it outlives its holder. That is taken as so where
// no flock is left on the device, or, where the sandbox hides the flocks, where the holder's
// lock file was found stale.
QString BusyText(const QString& devicePath, bool staleLockFileFound) {
    const SerialLock::THolder holder = SerialLock::FlockHolder(devicePath);
    if (holder.pid <= 0 && DeviceRefusal::PseudoTerminal(devicePath) &&
        (!holder.hidden || staleLockFileFound))
        return DeviceRefusal::LeftExclusiveText();
    return SerialLock::InUseText(holder);
}

QString OpenErrorText(int error, const QString& devicePath, bool staleLockFileFound) {
    switch (error) {
    case ENOENT:
    case ENXIO:
    case ENODEV:
        return QStringLiteral("no such device");
    case EACCES:
        return PermissionText(devicePath);
    case EPERM: // file modes answer EACCES; EPERM is a control group's device policy
        return DeviceRefusal::NotAdmittedText(devicePath);
    case EBUSY:
        return BusyText(devicePath, staleLockFileFound);
    default:
        return SystemText(error);
    }
}

// Pseudo-terminals and some adapters have no modem lines; that is no fault of the port.
bool NoModemLines(int error) {
    return error == ENOTTY || error == EINVAL || error == EOPNOTSUPP;
}

speed_t SpeedFor(qint32 baud) {
    switch (baud) {
    case 1200:
        return B1200;
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 38400:
        return B38400;
    case 57600:
        return B57600;
    case 115200:
        return B115200;
    default:
        return B0;
    }
}

QString SetModemLine(int fd, int line, bool on) {
    if (::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0 || NoModemLines(errno))
        return {};
    return SystemText(errno);
}

} // namespace

QString TSerialDevice::Open(const QString& devicePath) {
    Close();
    const QByteArray lockPath = QFile::encodeName(SerialLock::LockFilePath(devicePath));
    struct stat lockFile {};
    const bool lockFileThere = ::lstat(lockPath.constData(), &lockFile) == 0;
    // Before the open: opening a line can already disturb the program that holds it.
    if (const std::optional<SerialLock::THolder> holder =
            SerialLock::LiveLockFileHolder(devicePath))
        return SerialLock::InUseText(*holder);
    // Gone now: it was stale, and cleared on the way. Remembered for the retries.
    if (lockFileThere && ::lstat(lockPath.constData(), &lockFile) != 0)
        m_staleLockFileOf = devicePath;

    const QByteArray path = QFile::encodeName(devicePath);
    int fd = -1;
    do
        fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return OpenErrorText(errno, devicePath, m_staleLockFileOf == devicePath);

    const auto fail = [fd](const QString& reason) {
        ::close(fd);
        return reason;
    };
    // The flock first: it also keeps two InCyclers from writing the lock file at once.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
        return fail(SerialLock::InUseText(SerialLock::FlockHolder(devicePath)));
    termios saved{};
    if (::tcgetattr(fd, &saved) != 0)
        return fail(errno == ENOTTY ? QStringLiteral("not a serial device") : SystemText(errno));
    SerialLock::THolder holder;
    if (!m_lockFile.Acquire(devicePath, &holder))
        return fail(SerialLock::InUseText(holder));
    // Keeps out other users' opens; root passes it, which the two locks above then stop.
    ::ioctl(fd, TIOCEXCL);
    m_fd = fd;
    m_saved = saved;
    return {};
}

QString TSerialDevice::Configure(qint32 baud, bool handshake, bool rts) {
    const speed_t speed = SpeedFor(baud);
    if (speed == B0)
        return QStringLiteral("line settings refused: %1 baud is not supported").arg(baud);
    termios t{};
    if (::tcgetattr(m_fd, &t) != 0)
        return QStringLiteral("line settings refused: %1").arg(SystemText(errno));
    // Binary: no echo, no line editing, no translation of CR or NL, no XON/XOFF.
    ::cfmakeraw(&t);
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | CSTOPB | CRTSCTS);
    // CLOCAL: a switcher drives no carrier line, so its absence must not hang the line up.
    t.c_cflag |= CS8 | CREAD | CLOCAL | (handshake ? tcflag_t(CRTSCTS) : tcflag_t(0));
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    ::cfsetispeed(&t, speed);
    ::cfsetospeed(&t, speed);
    if (::tcsetattr(m_fd, TCSANOW, &t) != 0)
        return QStringLiteral("line settings refused: %1").arg(SystemText(errno));
    // Under the handshake the driver owns RTS.
    if (!handshake) {
        const QString error = SetModemLine(m_fd, TIOCM_RTS, rts);
        if (!error.isEmpty())
            return QStringLiteral("cannot set RTS: %1").arg(error);
    }
    return {};
}

QString TSerialDevice::RaiseDtr() {
    const QString error = SetModemLine(m_fd, TIOCM_DTR, true);
    return error.isEmpty() ? QString() : QStringLiteral("cannot raise DTR: %1").arg(error);
}

void TSerialDevice::Close() {
    if (m_fd < 0)
        return;
    ::tcsetattr(m_fd, TCSANOW, &m_saved);
    // The exclusive mode belongs to the tty, not to this descriptor: a pty whose other
    // side stays open would keep it after the close.
    ::ioctl(m_fd, TIOCNXCL);
    ::close(m_fd); // also lets go of the flock
    m_fd = -1;
    // Last, so that whoever finds the file gone can take the device at once.
    m_lockFile.Release();
}
