#include "DeviceRefusal.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace {

// The kernel's pseudo-terminal slaves: majors 136 to 143.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

bool CharDevice(const QString& devicePath, struct stat* st) {
    return ::stat(QFile::encodeName(devicePath).constData(), st) == 0 && S_ISCHR(st->st_mode);
}

// The name DeviceAllow=char-NAME takes: the driver's entry in /proc/devices, or, where the
// sandbox hides that file, the device's name without its number, which is the same name for
// the serial drivers (ttyS, ttyUSB, ttyACM, ttyAMA).
QString DriverName(const QString& devicePath) {
    struct stat st {};
    if (!CharDevice(devicePath, &st))
        return {};
    QFile devices(QStringLiteral("/proc/devices"));
    if (devices.open(QIODevice::ReadOnly)) {
        const QByteArray wanted = QByteArray::number(major(st.st_rdev)) + ' ';
        // Character devices come first, then "Block devices:".
        for (const QByteArray& line : devices.readAll().split('\n')) {
            if (line.startsWith("Block"))
                break;
            const QByteArray entry = line.trimmed();
            if (entry.startsWith(wanted))
                return QString::fromLatin1(entry.mid(wanted.size()).trimmed());
        }
    }
    static const QRegularExpression trailingDigits(QStringLiteral("\\d+$"));
    return QFileInfo(devicePath).fileName().remove(trailingDigits);
}

// The unit this process runs in, from its control group ("…/incycler-rotate@lobby.service").
QString UnitName() {
    QFile cgroup(QStringLiteral("/proc/self/cgroup"));
    if (!cgroup.open(QIODevice::ReadOnly))
        return {};
    const QString path =
        QString::fromUtf8(cgroup.readAll()).trimmed().section(QLatin1Char('/'), -1);
    static const QRegularExpression unit(QStringLiteral("^[A-Za-z0-9:_.@\\\\-]+\\.service$"));
    return unit.match(path).hasMatch() ? path : QString();
}

} // namespace

namespace DeviceRefusal {

QString NotAdmittedText(const QString& devicePath) {
    const QString driver = DriverName(devicePath);
    static const QRegularExpression plainName(QStringLiteral("^[A-Za-z0-9_-]+$"));
    const QString line = plainName.match(driver).hasMatch()
                             ? QStringLiteral("DeviceAllow=char-%1 rw").arg(driver)
                             : QStringLiteral("DeviceAllow=%1 rw").arg(devicePath);
    const QString unit = UnitName();
    if (unit.isEmpty())
        return QStringLiteral("refused by the device policy of this process's control group "
                              "(it needs \"%1\")")
            .arg(line);
    QString instance = unit;
    instance.chop(int(qstrlen(".service")));
    return QStringLiteral("not admitted by the device policy of %1; add the line \"%2\" to "
                          "its [Service] section in a drop-in: systemctl edit %3")
        .arg(unit, line, instance);
}

bool PseudoTerminal(const QString& devicePath) {
    struct stat st {};
    return CharDevice(devicePath, &st) && major(st.st_rdev) >= kFirstPtyMajor &&
           major(st.st_rdev) <= kLastPtyMajor;
}

QString LeftExclusiveText() {
    return QStringLiteral("held exclusively by no running program: a pseudo-terminal keeps that "
                          "until its other end closes");
}

} // namespace DeviceRefusal
