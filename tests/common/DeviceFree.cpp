#include "DeviceFree.h"

#include "device/SerialLock.h"

#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

bool DeviceFree(const QString& path) {
    const QString device = QFileInfo(path).canonicalFilePath();
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return false;
    const bool unlocked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return unlocked && !QFile::exists(SerialLock::LockFilePath(device));
}
