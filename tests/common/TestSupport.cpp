#include "TestSupport.h"

#include "device/SerialLock.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        qputenv(m_name, m_old);
    else
        qunsetenv(m_name);
}

QByteArray ReadWholeFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QList<QByteArray> OwnLines(const QByteArray& standardError) {
    QList<QByteArray> own;
    for (const QByteArray& line : standardError.split('\n')) {
        if (line.startsWith("InCycler:"))
            own.append(line);
    }
    return own;
}

bool DeviceFree(const QString& path) {
    const QString device = QFileInfo(path).canonicalFilePath();
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool unlocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return unlocked && !QFile::exists(SerialLock::LockFilePath(device));
}
