#include "PortMap.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <algorithm>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct Range {
    const char* prefix;
    int first;
};
constexpr Range kRanges[] = {{"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}};
constexpr int kPerRange = 32;

QString OverrideDir() {
    return qEnvironmentVariable("INCYCLER_PORT_DIR");
}

bool ReadableDir(const QString& dir) {
    struct stat st {};
    const QByteArray path = QFile::encodeName(dir);
    return ::stat(path.constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
           ::access(path.constData(), R_OK | X_OK) == 0;
}

bool IsCharDevice(const QString& path) {
    struct stat st {};
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISCHR(st.st_mode);
}

// Why a directory that names ports could be changed under the operator's feet, or an empty
// string. The directory itself must be root's or this user's and written by its owner alone;
// above it, a directory others may write is fine only when it is sticky (as /tmp is), so that
// nobody else can move what lies in it.
QString OpenToOthers(const QString& directory) {
    QString path = QFileInfo(directory).absoluteFilePath();
    for (bool own = true;; own = false) {
        struct stat st {};
        if (::stat(QFile::encodeName(path).constData(), &st) != 0)
            return {};
        const bool byOthers = (st.st_mode & (S_IWGRP | S_IWOTH)) != 0;
        const bool foreign = st.st_uid != 0 && st.st_uid != ::geteuid();
        if (foreign || (byOthers && (own || (st.st_mode & S_ISVTX) == 0)))
            return QStringLiteral("%1 (owner uid %2, mode %3) may be changed by users other than "
                                  "its owner and root")
                .arg(path)
                .arg(st.st_uid)
                .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
        if (path == QLatin1String("/"))
            return {};
        path = QFileInfo(path).path();
    }
}

// The first directory on the way from a port's name to its device (through every link) that
// others could change, or an empty string.
QString UnsafeLinkChain(const QString& portPath) {
    QString hop = portPath;
    // As the kernel, give up on a chain of more than 40 links.
    for (int links = 0; links <= 40; ++links) {
        const QString problem = OpenToOthers(QFileInfo(hop).absolutePath());
        if (!problem.isEmpty())
            return problem;
        const QFileInfo info(hop);
        if (!info.isSymLink())
            return {};
        hop = QDir(info.absolutePath()).absoluteFilePath(info.symLinkTarget());
    }
    return {};
}

} // namespace

namespace PortMap {

QString PortDirProblem() {
    const QString dir = OverrideDir();
    if (dir.isEmpty())
        return {};
    if (!ReadableDir(dir))
        return QStringLiteral("the port directory %1 (INCYCLER_PORT_DIR) is not a readable "
                              "directory")
            .arg(dir);
    // Whoever can write it can point a port at another device.
    const QString open = OpenToOthers(QFileInfo(dir).canonicalFilePath());
    if (!open.isEmpty())
        return QStringLiteral("the port directory %1 (INCYCLER_PORT_DIR) is not used: %2; "
                              "use a directory that only you or root can write")
            .arg(dir, open);
    return {};
}

QString PortName(int n) {
    return QStringLiteral("COM%1").arg(n);
}

QString DevicePath(int n) {
    if (n <= 0)
        return {};
    const QString dir = OverrideDir();
    if (!dir.isEmpty())
        return PortDirProblem().isEmpty() ? QDir(dir).filePath(PortName(n)) : QString();
    for (const Range& r : kRanges) {
        if (n >= r.first && n < r.first + kPerRange)
            return QStringLiteral("/dev/%1%2").arg(QLatin1String(r.prefix)).arg(n - r.first);
    }
    return {};
}

QString ResolvedDevice(int n, QString* problem) {
    const QString path = DevicePath(n);
    if (path.isEmpty()) {
        const QString dirProblem = PortDirProblem();
        *problem = QStringLiteral("%1: %2").arg(
            PortName(n), dirProblem.isEmpty() ? QStringLiteral("no such device") : dirProblem);
        return {};
    }
    const QString device = QFileInfo(path).canonicalFilePath();
    if (device.isEmpty()) {
        *problem = QStringLiteral("%1 (%2): no such device").arg(PortName(n), path);
        return {};
    }
    if (!OverrideDir().isEmpty()) {
        const QString unsafe = UnsafeLinkChain(path);
        if (!unsafe.isEmpty()) {
            *problem = QStringLiteral("%1 (%2): not used, its link leads through %3")
                           .arg(PortName(n), path, unsafe);
            return {};
        }
    }
    return device;
}

int NumberForDeviceName(const QString& name) {
    for (const Range& r : kRanges) {
        const QString prefix = QLatin1String(r.prefix);
        if (!name.startsWith(prefix))
            continue;
        bool ok = false;
        const int index = name.mid(prefix.size()).toInt(&ok);
        if (ok && index >= 0 && index < kPerRange &&
            name.mid(prefix.size()) == QString::number(index))
            return r.first + index;
    }
    return 0;
}

QList<int> AvailablePorts(const std::function<QStringList()>& systemPorts) {
    QList<int> numbers;
    const QString dir = OverrideDir();
    if (!dir.isEmpty()) {
        if (!PortDirProblem().isEmpty())
            return {};
        static const QRegularExpression comName(QStringLiteral("^COM([1-9][0-9]*)$"));
        const QStringList entries = QDir(dir).entryList(QDir::AllEntries | QDir::System);
        for (const QString& entry : entries) {
            const auto m = comName.match(entry);
            if (m.hasMatch() && IsCharDevice(QDir(dir).filePath(entry)))
                numbers.append(m.captured(1).toInt());
        }
    } else {
        const QStringList names = systemPorts();
        for (const QString& name : names) {
            const int n = NumberForDeviceName(name);
            if (n > 0)
                numbers.append(n);
        }
    }
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    return numbers;
}

} // namespace PortMap
