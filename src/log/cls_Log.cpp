#include "cls_Log.h"

#include "common/Clock.h"
#include "common/Errors.h"
#include "common/StandardError.h"
#include "common/UniqueFd.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString g_directoryOverride;
// Tests shorten the log; 0 keeps the real length.
qsizetype g_keptLinesOverride = 0;

qsizetype KeptLines() {
    return g_keptLinesOverride > 0 ? g_keptLinesOverride : LogRules::MaxLines;
}

// While the process runs, the file is cut back once it holds more than twice the lines kept.
qsizetype RunningLimit() {
    return 2 * KeptLines();
}

// What the log was like when its lines were last counted (or it was trimmed), so that an
// append need only look at the file's size to tell whether it is worth counting them again.
struct TCounted {
    QString path;
    qint64 size = 0;
    qint64 lines = 0;
};
TCounted g_counted;

// A held file is given this long before the caller stops waiting for it.
constexpr qint64 kLockPatienceMs = 2000;
// The pause between two tries on a held file, so that waiting does not burn a core.
constexpr unsigned long kRetryPauseMs = 10;
// The trim lets pending events run once per this many dropped lines: once per line would
// make a long file's trim cost seconds in event processing alone.
constexpr qsizetype kDroppedLinesPerEventPass = 256;

// Not an errno: the path names something other than a regular file (a FIFO, a socket, a
// device), which the log must never use, since opening or writing it could block for ever.
constexpr int kNotRegularFile = -1;

QString ErrorText(int error) {
    if (error == kNotRegularFile)
        return QStringLiteral("not a regular file");
    if (error == EWOULDBLOCK)
        return QStringLiteral("locked by another process for more than %1 s")
            .arg(kLockPatienceMs / 1000);
    return qt_error_string(error);
}

[[noreturn]] void ThrowFileError(const QString& path, int error) {
    throw EFileError(QStringLiteral("%1: %2").arg(path, ErrorText(error)));
}

QString ExecutableDirectory() {
    // The kernel's link is already free of symbolic links, whatever the program is called.
    std::error_code ec;
    const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (!ec)
        return QFileInfo(QString::fromStdString(exe.string())).absolutePath();
    return QCoreApplication::applicationDirPath();
}

// Opens the log (following links) without ever blocking: a FIFO in its place would otherwise
// hold the open, or a later read or write, for ever. Anything but a regular file is refused,
// with errno set to kNotRegularFile.
int OpenFile(const QByteArray& path, int flags) {
    struct stat st {};
    if (::stat(path.constData(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode)) {
        errno = kNotRegularFile;
        return -1;
    }
    int fd;
    do
        fd = ::open(path.constData(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
    while (fd < 0 && errno == EINTR);
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        errno = kNotRegularFile;
        return -1;
    }
    return fd;
}

// Never truncates: another process may have created and written the file a moment ago.
void CreateIfMissing(const QString& path) {
    const QByteArray native = QFile::encodeName(path);
    // A directory of that name is no log: creating the file then fails with the reason.
    struct stat st {};
    if (::stat(native.constData(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        if (!S_ISREG(st.st_mode))
            ThrowFileError(path, kNotRegularFile);
        return;
    }
    const TUniqueFd fd(OpenFile(native, O_WRONLY | O_CREAT));
    if (!fd.Valid())
        ThrowFileError(path, errno);
}

bool TryLock(int fd, int& error) {
    while (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        if (errno != EINTR) {
            error = errno;
            return false;
        }
    }
    return true;
}

// Start-up waits out another process's append rather than failing on it. False when the lock
// stayed held for all of the wait: the log can be read by more than its writers, and anyone
// who can read it can lock it, so a lock held for long never stops the program.
bool LockPatiently(int fd, const QString& path) {
    QElapsedTimer waited;
    waited.start();
    int error = 0;
    while (!TryLock(fd, error)) {
        if (error != EWOULDBLOCK)
            ThrowFileError(path, error);
        if (waited.elapsed() >= kLockPatienceMs)
            return false;
        QThread::msleep(kRetryPauseMs);
    }
    return true;
}

// Feeds the file from its current position on to the scanner, without holding it in memory.
bool Scan(int fd, LogRules::TLineScanner& scanner, int& error) {
    char buffer[1 << 16];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got == 0)
            return true;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        scanner.Feed(QByteArrayView(buffer, got));
    }
}

// The file from offset to its end, or at most `limit` bytes of it.
bool ReadFrom(int fd, off_t offset, QByteArray& content, int& error, qint64 limit = -1) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        error = errno;
        return false;
    }
    content.clear();
    const qint64 rest = st.st_size > offset ? st.st_size - offset : 0;
    content.reserve(limit < 0 ? rest : qMin(rest, limit));
    char buffer[1 << 16];
    while (limit < 0 || content.size() < limit) {
        const qint64 room =
            limit < 0 ? qint64(sizeof buffer) : qMin<qint64>(sizeof buffer, limit - content.size());
        const ssize_t got = ::pread(fd, buffer, room, offset);
        if (got == 0)
            break;
        if (got < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        content.append(buffer, got);
        offset += got;
    }
    return true;
}

bool WriteAll(int fd, QByteArrayView bytes, off_t offset, int& error) {
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t put = ::pwrite(fd, bytes.data() + done, bytes.size() - done, offset + done);
        if (put < 0) {
            if (errno == EINTR)
                continue;
            error = errno;
            return false;
        }
        done += put;
    }
    return true;
}

// The file's lines, or -1 when its lock could not be taken.
qint64 CountLinesLocked(const QString& path) {
    const TUniqueFd fd(OpenFile(QFile::encodeName(path), O_RDONLY));
    if (!fd.Valid())
        ThrowFileError(path, errno);
    if (!LockPatiently(fd.Get(), path))
        return -1;
    LogRules::TLineScanner scanner(KeptLines());
    int error = 0;
    if (!Scan(fd.Get(), scanner, error))
        ThrowFileError(path, error);
    return scanner.Lines();
}

// Puts back what a failed rewrite overwrote: the original head of the file and its length.
void RestoreHead(int fd, const QByteArray& head, off_t size) {
    int error = 0;
    WriteAll(fd, head, 0, error);
    while (::ftruncate(fd, size) != 0 && errno == EINTR) {
    }
}

// Reads and rewrites under one lock, so that no record appended in between is lost. The
// file is rewritten in place, keeping its inode with its owner, group and mode (the log's
// directory is not writable by operators, so there can be no new file to rename over it).
// Turning lone LF ends into CR LF can make the file grow: the space is reserved before
// anything is overwritten, so that a full disk leaves the log as it was rather than cut.
// Only a file of more than trimAbove lines is rewritten; what it then holds goes to *counted.
// Returns an empty string, or why the file was left untrimmed.
QString RewriteTrimmedLocked(const QString& path, qint64 trimAbove = KeptLines(),
                             TCounted* counted = nullptr) {
    const TUniqueFd fd(OpenFile(QFile::encodeName(path), O_RDWR));
    if (!fd.Valid())
        ThrowFileError(path, errno);
    if (!LockPatiently(fd.Get(), path))
        return ErrorText(EWOULDBLOCK);
    LogRules::TLineScanner scanner(KeptLines());
    int error = 0;
    if (!Scan(fd.Get(), scanner, error))
        ThrowFileError(path, error);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0)
        ThrowFileError(path, errno);
    if (counted != nullptr)
        *counted = {path, st.st_size, scanner.Lines()};
    if (scanner.Lines() <= trimAbove)
        return {};
    QByteArray kept;
    if (!ReadFrom(fd.Get(), scanner.KeptStart(), kept, error))
        ThrowFileError(path, error);
    kept = LogRules::JoinWithCrLf(kept);

    const int reserved = ::posix_fallocate(fd.Get(), 0, kept.size());
    if (reserved != 0) {
        // The fallback for file systems without fallocate may have grown the file.
        while (::ftruncate(fd.Get(), st.st_size) != 0 && errno == EINTR) {
        }
        return ErrorText(reserved);
    }
    QByteArray head;
    if (!ReadFrom(fd.Get(), 0, head, error, kept.size()))
        ThrowFileError(path, error);
    if (!WriteAll(fd.Get(), kept, 0, error)) {
        RestoreHead(fd.Get(), head, st.st_size);
        return ErrorText(error);
    }
    int rc;
    do
        rc = ::ftruncate(fd.Get(), kept.size());
    while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        error = errno;
        RestoreHead(fd.Get(), head, st.st_size);
        return ErrorText(error);
    }
    if (counted != nullptr)
        *counted = {path, kept.size(), qMin<qint64>(scanner.Lines(), KeptLines())};
    return {};
}

// After an append that left the file at `size` bytes: the lines are counted again (a read of
// the whole file) only once the file has doubled since they were last counted, or sooner
// where lines of their average length so far would pass the limit; past it, the file is cut
// back to the lines kept, as at start-up. Appends stay cheap, and the file stays near its
// limit whoever else appends.
void TrimWhenGrown(const QString& path, qint64 size) {
    TCounted& last = g_counted;
    if (last.path != path || size < last.size) {
        // First seen here, or cut back by another process: counted from this size on.
        last = {path, size, 0};
        return;
    }
    const bool doubled = size >= 2 * last.size;
    const bool nearLimit = last.lines > 0 && size * last.lines > last.size * RunningLimit();
    if (!doubled && !nearLimit)
        return;
    try {
        const QString untrimmed = RewriteTrimmedLocked(path, RunningLimit(), &last);
        if (!untrimmed.isEmpty()) {
            // Tried again once the file has doubled from here, not at every append.
            last = {path, size, 0};
            SayOnStandardError(QStringLiteral("%1 was left as it was, not cut to its last %2 "
                                              "lines: %3")
                                   .arg(path)
                                   .arg(KeptLines())
                                   .arg(untrimmed));
        }
    } catch (const EFileError& error) {
        // The record is in.
        last = {path, size, 0};
        SayOnStandardError(QString::fromUtf8(error.what()));
    }
}

// Whether the file's last byte ends a line (an empty file needs no break either).
bool EndsWithLineBreak(int fd, off_t size) {
    if (size == 0)
        return true;
    char last = 0;
    ssize_t got;
    do
        got = ::pread(fd, &last, 1, size - 1);
    while (got < 0 && errno == EINTR);
    return got != 1 || last == '\n' || last == '\r';
}

// One try of an append. A write that fails half-way is cut off again, so that a retry
// cannot leave a torn record in front of the whole one.
bool TryAppend(const QByteArray& nativePath, QByteArrayView bytes, int& error, qint64& sizeAfter) {
    const TUniqueFd fd(OpenFile(nativePath, O_RDWR | O_CREAT));
    if (!fd.Valid()) {
        error = errno;
        return false;
    }
    if (!TryLock(fd.Get(), error))
        return false;
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) {
        error = errno;
        return false;
    }
    // A last line without its break (written by hand, or cut short) must not swallow the
    // record.
    QByteArray framed;
    if (!EndsWithLineBreak(fd.Get(), st.st_size)) {
        framed = QByteArray("\r\n", 2) + bytes.toByteArray();
        bytes = framed;
    }
    if (WriteAll(fd.Get(), bytes, st.st_size, error)) {
        sizeAfter = st.st_size + bytes.size();
        return true;
    }
    while (::ftruncate(fd.Get(), st.st_size) != 0 && errno == EINTR) {
    }
    return false;
}

// The append of a record whose file stays locked by another: one write at the end of the file,
// which the kernel keeps whole and never mixes with another writer's. Nothing is cut again
// after a failure, since without the lock that could cut another's record.
bool AppendUnlocked(const QByteArray& nativePath, QByteArrayView bytes, int& error) {
    const TUniqueFd fd(OpenFile(nativePath, O_RDWR | O_APPEND));
    struct stat st {};
    if (!fd.Valid() || ::fstat(fd.Get(), &st) != 0) {
        error = errno;
        return false;
    }
    QByteArray record = bytes.toByteArray();
    if (!EndsWithLineBreak(fd.Get(), st.st_size))
        record.prepend("\r\n", 2);
    ssize_t put;
    do
        put = ::write(fd.Get(), record.constData(), size_t(record.size()));
    while (put < 0 && errno == EINTR);
    if (put == ssize_t(record.size()))
        return true;
    error = put < 0 ? errno : ENOSPC;
    return false;
}

} // namespace

QString TLog::TypeInfo() {
    return QStringLiteral("情報");
}
QString TLog::TypeError() {
    return QStringLiteral("エラー");
}

void TLog::SetDirectoryOverride(const QString& directory) {
    g_directoryOverride = directory;
}

void TLog::SetKeptLinesOverride(qsizetype lines) {
    g_keptLinesOverride = lines;
}

QString TLog::DefaultPath() {
    const QString directory =
        g_directoryOverride.isEmpty() ? ExecutableDirectory() : g_directoryOverride;
    return QDir(directory).absoluteFilePath(QStringLiteral("InCycler.log"));
}

void TLog::Init() {
    f_FileFullPath = DefaultPath();
    CreateIfMissing(f_FileFullPath);
    TrimLogFile();
}

void TLog::TrimLogFile() {
    const QString path = f_FileFullPath;
    CreateIfMissing(path);
    const qint64 lines = CountLinesLocked(path);
    if (lines < 0) {
        SayOnceOnStandardError(QStringLiteral("%1 was not cut to its last %2 lines: %3")
                                   .arg(path)
                                   .arg(KeptLines())
                                   .arg(ErrorText(EWOULDBLOCK)));
        return;
    }
    const qint64 dropped = lines - KeptLines();
    if (dropped <= 0)
        return;
    // Pending events run without the lock held, so that a handler may write its record.
    for (qint64 i = 0; i < dropped; i += kDroppedLinesPerEventPass)
        QCoreApplication::processEvents();
    // An untrimmed log is still a whole log: start-up goes on, and the operator is told.
    const QString untrimmed = RewriteTrimmedLocked(path, KeptLines(), &g_counted);
    if (!untrimmed.isEmpty())
        SayOnStandardError(QStringLiteral("%1 was left as it was, not cut to its last %2 lines: %3")
                               .arg(path)
                               .arg(KeptLines())
                               .arg(untrimmed));
}

void TLog::OutputLogString(const QString& a_Type, const QString& a_Proc,
                           const QString& a_LogValue) {
    const QDateTime now = Clock::Now();
    WriteLogLine(LogRules::FormatRecord(now, QCoreApplication::applicationPid(), a_Type, a_Proc,
                                        a_LogValue));
}

void TLog::WriteLogLine(const QString& line) {
    // Handlers run inside the loop below may write records of their own, or even free this
    // object: from here on only locals are used.
    const QString path = f_FileFullPath;
    const QByteArray nativePath = QFile::encodeName(path);
    const QByteArray bytes = line.toUtf8() + "\r\n";
    CreateIfMissing(path);
    QElapsedTimer waited;
    waited.start();
    int error = 0;
    qint64 size = 0;
    for (;;) {
        QCoreApplication::processEvents();
        if (TryAppend(nativePath, bytes, error, size)) {
            TrimWhenGrown(path, size);
            return;
        }
        if (waited.elapsed() >= kLockPatienceMs)
            break;
        QThread::msleep(kRetryPauseMs);
    }
    if (error == EWOULDBLOCK && AppendUnlocked(nativePath, bytes, error)) {
        SayOnceOnStandardError(QStringLiteral("%1: %2; records are appended without its lock")
                                   .arg(path, ErrorText(EWOULDBLOCK)));
        return;
    }
    SayOnStandardError(
        QStringLiteral("%1 に記録できませんでした (%2): %3").arg(path, ErrorText(error), line));
}
