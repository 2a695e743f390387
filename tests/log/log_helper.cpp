// log_helper hold <file>           holds an exclusive flock on <file>, prints "locked" once it
//                                  has it, and keeps it until standard input is closed.
// log_helper write <dir> <count> [<kept>]
//                                  appends <count> records numbered from 0 to the log in <dir>,
//                                  trimming it to <kept> lines instead of the real number.

#include "common/Errors.h"
#include "log/cls_Log.h"

#include <QCoreApplication>
#include <QFile>

#include <cstdio>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {

int Hold(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_CREAT, 0666);
    if (fd < 0 || ::flock(fd, LOCK_EX) != 0) {
        std::perror("log_helper hold");
        return 1;
    }
    std::puts("locked");
    std::fflush(stdout);
    char buffer[256];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    ::close(fd);
    return 0;
}

int Write(const QString& directory, int count, int kept) {
    TLog::SetDirectoryOverride(directory);
    TLog::SetKeptLinesOverride(kept);
    TLog log;
    try {
        log.Init();
        for (int i = 0; i < count; ++i)
            log.OutputLogString(TLog::TypeInfo(), QStringLiteral("TFormMain_LogHelper"),
                                QString::number(i));
    } catch (const EInCyclerError& error) {
        std::fprintf(stderr, "log_helper write: %s\n", error.what());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args[1] == QLatin1String("hold"))
        return Hold(args[2]);
    if ((args.size() == 4 || args.size() == 5) && args[1] == QLatin1String("write"))
        return Write(args[2], args[3].toInt(), args.value(4).toInt());
    std::fputs("usage: log_helper hold <file> | log_helper write <dir> <count> [<kept>]\n", stderr);
    return 2;
}
