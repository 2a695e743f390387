#include "TestSupport.h"
#include "common/Clock.h"
#include "common/Errors.h"
#include "log/cls_Log.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kProc = QStringLiteral("TFormMain_Test");

// Lines first..last-1 of a made-up log, each followed by eol; the last one without a break
// when finalBreak is false.
QByteArray MadeUpLines(int first, int last, const QByteArray& eol, bool finalBreak = true) {
    QByteArray content;
    for (int i = first; i < last; ++i) {
        content +=
            QStringLiteral("2024/05/01,9:05:03.042,1,情報,TFormMain_Old,行%1").arg(i).toUtf8();
        if (i + 1 < last || finalBreak)
            content += eol;
    }
    return content;
}

void WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    QVERIFY2(file.open(QIODevice::WriteOnly | QIODevice::Truncate), qPrintable(file.errorString()));
    QCOMPARE(file.write(content), content.size());
}

QByteArrayList FileLines(const QString& path) {
    const QByteArray content = ReadWholeFile(path);
    QByteArrayList lines;
    for (const QByteArrayView line : LogRules::SplitLines(content))
        lines.append(line.toByteArray());
    return lines;
}

QByteArray Record(const QDateTime& moment, const QString& type, const QString& text) {
    return LogRules::FormatRecord(moment, QCoreApplication::applicationPid(), type, kProc, text)
               .toUtf8() +
           "\r\n";
}

// Another process that holds the log's lock until Release.
class TLockHolder {
public:
    explicit TLockHolder(const QString& path) {
        m_process.start(QStringLiteral(LOG_HELPER_PATH), {QStringLiteral("hold"), path});
    }
    ~TLockHolder() {
        Release();
        m_process.waitForFinished(30000);
    }
    bool WaitUntilLocked() {
        while (!m_process.readAllStandardOutput().contains("locked"))
            if (!m_process.waitForReadyRead(30000))
                return false;
        return true;
    }
    void Release() { m_process.closeWriteChannel(); }

private:
    QProcess m_process;
};

// Sends standard error to a file for the life of the object.
class TStderrCapture {
public:
    explicit TStderrCapture(const QString& path) : m_path(path) {
        std::fflush(stderr);
        m_saved = ::dup(STDERR_FILENO);
        const int fd =
            ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(fd, STDERR_FILENO);
        ::close(fd);
    }
    ~TStderrCapture() { Restore(); }
    QByteArray Captured() {
        Restore();
        return ReadWholeFile(m_path);
    }

private:
    void Restore() {
        if (m_saved < 0)
            return;
        std::fflush(stderr);
        ::dup2(m_saved, STDERR_FILENO);
        ::close(m_saved);
        m_saved = -1;
    }
    QString m_path;
    int m_saved = -1;
};

} // namespace

class TestLog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void initCreatesEmptyFileAndFirstRecordIsOneLine();
    void initLeavesShortFileUntouched_data();
    void initLeavesShortFileUntouched();
    void initTrimsLongFileInPlace_data();
    void initTrimsLongFileInPlace();
    void recordWrittenDuringTrimIsKept();
    void initFailsWithFileSystemMessage_data();
    void initFailsWithFileSystemMessage();
    void appendRecreatesMissingFileOrThrows();
    void recordShowsOneMoment_data();
    void recordShowsOneMoment();
    void appendWaitsForAnotherProcessesLock();
    void nestedRecordStandsFirst();
    void appendHeldTooLongGoesInWithoutTheLock();
    void twoProcessesAppendWholeLines_data();
    void twoProcessesAppendWholeLines();

private:
    std::unique_ptr<QTemporaryDir> m_dir;
    QString LogPath() const { return m_dir->filePath(QStringLiteral("InCycler.log")); }
};

void TestLog::init() {
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    TLog::SetDirectoryOverride(m_dir->path());
}

void TestLog::cleanup() {
    Clock::SetSource({});
    TLog::SetDirectoryOverride(QString());
    m_dir.reset();
}

void TestLog::initCreatesEmptyFileAndFirstRecordIsOneLine() {
    TLog log;
    log.Init();
    QCOMPARE(log.FileFullPath(), LogPath());
    QVERIFY(QFile::exists(LogPath()));
    QCOMPARE(QFileInfo(LogPath()).size(), 0);

    const QDateTime moment(QDate(2024, 5, 1), QTime(9, 5, 3, 42));
    Clock::SetSource([moment] { return moment; });
    log.OutputLogString(TLog::TypeInfo(), kProc, QStringLiteral("（引数）引数実行成功"));
    QCOMPARE(ReadWholeFile(LogPath()),
             Record(moment, TLog::TypeInfo(), QStringLiteral("（引数）引数実行成功")));
}

void TestLog::initLeavesShortFileUntouched_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("10000 lines, CR LF") << MadeUpLines(0, 10000, "\r\n");
    QTest::newRow("10000 lines, lone LF") << MadeUpLines(0, 10000, "\n");
    QTest::newRow("10000 lines, lone CR, no final break") << MadeUpLines(0, 10000, "\r", false);
    QTest::newRow("a few lines") << MadeUpLines(0, 3, "\n");
}

void TestLog::initLeavesShortFileUntouched() {
    QFETCH(QByteArray, content);
    WriteFile(LogPath(), content);
    // An old modification time shows any rewrite, even one with the very same bytes.
    const QByteArray native = QFile::encodeName(LogPath());
    const struct timespec old[2] = {{946684800, 0}, {946684800, 0}};
    QVERIFY(::utimensat(AT_FDCWD, native.constData(), old, 0) == 0);
    TLog log;
    log.Init();
    QCOMPARE(ReadWholeFile(LogPath()), content);
    struct stat after {};
    QVERIFY(::stat(native.constData(), &after) == 0);
    QCOMPARE(after.st_mtim.tv_sec, old[1].tv_sec);
}

void TestLog::initTrimsLongFileInPlace_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QByteArray>("trimmed");
    QTest::newRow("10001 lines") << MadeUpLines(0, 10001, "\r\n") << MadeUpLines(1, 10001, "\r\n");
    QTest::newRow("25000 lines") << MadeUpLines(0, 25000, "\r\n")
                                 << MadeUpLines(15000, 25000, "\r\n");
    QTest::newRow("lone LF") << MadeUpLines(0, 10001, "\n") << MadeUpLines(1, 10001, "\r\n");
    QTest::newRow("lone CR, no final break")
        << MadeUpLines(0, 10002, "\r", false) << MadeUpLines(2, 10002, "\r\n");
}

void TestLog::initTrimsLongFileInPlace() {
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, trimmed);
    WriteFile(LogPath(), content);
    const QByteArray native = QFile::encodeName(LogPath());
    QVERIFY(::chmod(native.constData(), 0640) == 0);
    struct stat before {};
    QVERIFY(::stat(native.constData(), &before) == 0);

    TLog log;
    log.Init();

    QCOMPARE(ReadWholeFile(LogPath()), trimmed);
    struct stat after {};
    QVERIFY(::stat(native.constData(), &after) == 0);
    QCOMPARE(after.st_ino, before.st_ino);
    QCOMPARE(after.st_mode, before.st_mode);
}

void TestLog::recordWrittenDuringTrimIsKept() {
    WriteFile(LogPath(), MadeUpLines(0, 10001, "\r\n"));
    TLog log;
    const QDateTime moment(QDate(2024, 5, 1), QTime(12, 0));
    Clock::SetSource([moment] { return moment; });
    bool written = false;
    QTimer::singleShot(0, [&] {
        log.OutputLogString(TLog::TypeError(), kProc, QStringLiteral("during trim"));
        written = true;
    });
    log.Init();
    QVERIFY(written);
    QCOMPARE(ReadWholeFile(LogPath()),
             MadeUpLines(2, 10001, "\r\n") +
                 Record(moment, TLog::TypeError(), QStringLiteral("during trim")));
}

void TestLog::initFailsWithFileSystemMessage_data() {
    QTest::addColumn<QString>("directory"); // relative to the temporary directory
    QTest::addColumn<int>("error");
    // Both fail for root as well.
    QTest::newRow("directory named like the file") << QString() << EISDIR;
    QTest::newRow("directory below a regular file") << QStringLiteral("plain/sub") << ENOTDIR;
}

void TestLog::initFailsWithFileSystemMessage() {
    QFETCH(QString, directory);
    QFETCH(int, error);
    QVERIFY(QDir(m_dir->path()).mkdir(QStringLiteral("InCycler.log")));
    WriteFile(m_dir->filePath(QStringLiteral("plain")), "x");
    if (!directory.isEmpty())
        TLog::SetDirectoryOverride(m_dir->filePath(directory));

    TLog log;
    try {
        log.Init();
        QFAIL("Init did not throw");
    } catch (const EFileError& e) {
        QVERIFY2(e.Message().contains(qt_error_string(error)), qPrintable(e.Message()));
        QVERIFY2(e.Message().contains(QStringLiteral("InCycler.log")), qPrintable(e.Message()));
    }
}

void TestLog::appendRecreatesMissingFileOrThrows() {
    const QString sub = m_dir->filePath(QStringLiteral("sub"));
    QVERIFY(QDir().mkdir(sub));
    TLog::SetDirectoryOverride(sub);
    TLog log;
    log.Init();
    const QString path = log.FileFullPath();

    QVERIFY(QFile::remove(path));
    log.OutputLogString(TLog::TypeInfo(), kProc, QStringLiteral("again"));
    QCOMPARE(FileLines(path).size(), 1);

    QVERIFY(QDir(sub).removeRecursively());
    QVERIFY_THROWS_EXCEPTION(EFileError,
                             log.OutputLogString(TLog::TypeInfo(), kProc, QStringLiteral("lost")));
}

void TestLog::recordShowsOneMoment_data() {
    QTest::addColumn<QDateTime>("first");
    QTest::addColumn<QByteArray>("start");
    QTest::newRow("turn of a day") << QDateTime(QDate(2023, 12, 31), QTime(23, 59, 59, 999))
                                   << QByteArray("2023/12/31,23:59:59.999,");
    QTest::newRow("turn of a second") << QDateTime(QDate(2024, 5, 1), QTime(9, 5, 3, 999))
                                      << QByteArray("2024/05/01,9:05:03.999,");
}

void TestLog::recordShowsOneMoment() {
    QFETCH(QDateTime, first);
    QFETCH(QByteArray, start);
    TLog log;
    log.Init();
    // Every reading is one millisecond later than the one before.
    int readings = 0;
    Clock::SetSource([&] { return first.addMSecs(readings++); });
    log.OutputLogString(TLog::TypeInfo(), kProc, QStringLiteral("x"));
    QCOMPARE(readings, 1);
    const QByteArrayList lines = FileLines(log.FileFullPath());
    QCOMPARE(lines.size(), 1);
    QVERIFY2(lines[0].startsWith(start), lines[0].constData());
}

void TestLog::appendWaitsForAnotherProcessesLock() {
    TLog log;
    log.Init();
    TLockHolder holder(log.FileFullPath());
    QVERIFY(holder.WaitUntilLocked());

    QByteArray whileHeld = "not read";
    QTimer::singleShot(50, [&] {
        whileHeld = ReadWholeFile(log.FileFullPath());
        holder.Release();
    });
    const QDateTime moment(QDate(2024, 5, 1), QTime(12, 0));
    Clock::SetSource([moment] { return moment; });
    log.OutputLogString(TLog::TypeError(), kProc, QStringLiteral("（COM）COMポートOPEN失敗"));

    QCOMPARE(whileHeld, QByteArray());
    QCOMPARE(ReadWholeFile(log.FileFullPath()),
             Record(moment, TLog::TypeError(), QStringLiteral("（COM）COMポートOPEN失敗")));
}

void TestLog::nestedRecordStandsFirst() {
    TLog log;
    log.Init();
    TLockHolder holder(log.FileFullPath());
    QVERIFY(holder.WaitUntilLocked());

    // The handler runs while the outer append waits; the lock is released only once the
    // handler's own append is waiting too.
    bool nestedDone = false;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(20, [&] { holder.Release(); });
        log.OutputLogString(TLog::TypeInfo(), kProc, QStringLiteral("nested"));
        nestedDone = true;
    });
    log.OutputLogString(TLog::TypeInfo(), kProc, QStringLiteral("outer"));

    QVERIFY(nestedDone);
    const QByteArrayList lines = FileLines(log.FileFullPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].endsWith(",nested"), lines[0].constData());
    QVERIFY2(lines[1].endsWith(",outer"), lines[1].constData());
}

// Anyone who can read the log can lock it: a lock held for good costs each record its wait,
// never the record, and the operator hears of it once.
void TestLog::appendHeldTooLongGoesInWithoutTheLock() {
    TLog log;
    log.Init();
    TLockHolder holder(log.FileFullPath());
    QVERIFY(holder.WaitUntilLocked());

    TStderrCapture capture(m_dir->filePath(QStringLiteral("stderr.txt")));
    log.OutputLogString(TLog::TypeError(), kProc, QStringLiteral("held too long"));
    log.OutputLogString(TLog::TypeError(), kProc, QStringLiteral("still held"));
    const QByteArray reported = capture.Captured();
    holder.Release();

    QCOMPARE(reported.count("records are appended without its lock"), 1);
    QVERIFY2(!reported.contains("held too long"), reported.constData());
    const QByteArrayList lines = FileLines(log.FileFullPath());
    QCOMPARE(lines.size(), 2);
    QVERIFY2(lines[0].endsWith(",held too long") && lines[1].endsWith(",still held"),
             lines[0].constData());
}

void TestLog::twoProcessesAppendWholeLines_data() {
    QTest::addColumn<int>("kept"); // the lines a trim keeps; 0: the real number
    QTest::newRow("well below the limit") << 0;
    // As a long outage's records would: the file is cut back while both processes run.
    QTest::newRow("trimmed while running") << 50;
}

void TestLog::twoProcessesAppendWholeLines() {
    QFETCH(int, kept);
    constexpr int kCount = 1000;
    QProcess writers[2];
    for (QProcess& writer : writers) {
        writer.setProcessChannelMode(QProcess::ForwardedChannels);
        writer.start(QStringLiteral(LOG_HELPER_PATH),
                     {QStringLiteral("write"), m_dir->path(), QString::number(kCount),
                      QString::number(kept)});
    }
    for (QProcess& writer : writers) {
        QVERIFY(writer.waitForFinished(120000));
        QCOMPARE(writer.exitStatus(), QProcess::NormalExit);
        QCOMPARE(writer.exitCode(), 0);
    }

    const QByteArray content = ReadWholeFile(LogPath());
    QVERIFY(content.endsWith("\r\n"));
    const qsizetype lines = content.count("\r\n");
    if (kept == 0)
        QCOMPARE(lines, 2 * kCount);
    else // never far above twice the lines kept
        QVERIFY2(lines >= kept && lines <= 2 * kept + 2, qPrintable(QString::number(lines)));
    const QRegularExpression shape(QStringLiteral(
        R"(^\d{4}/\d{2}/\d{2},\d{1,2}:\d{2}:\d{2}\.\d{3},(\d+),情報,TFormMain_LogHelper,(\d+)$)"));
    QHash<QString, int> nextOfPid;
    for (const QByteArray& line : FileLines(LogPath())) {
        const QRegularExpressionMatch match = shape.match(QString::fromUtf8(line));
        QVERIFY2(match.hasMatch(), line.constData());
        // Each writer's records appear whole and in its own order, the oldest cut away.
        const int number = match.captured(2).toInt();
        auto next = nextOfPid.find(match.captured(1));
        if (next == nextOfPid.end())
            next = nextOfPid.insert(match.captured(1), kept == 0 ? 0 : number);
        QCOMPARE(number, *next);
        ++*next;
    }
    // A writer that finished first may have been cut away whole; the last records stay.
    QCOMPARE(nextOfPid.size(), kept == 0 ? 2 : qMax<qsizetype>(1, nextOfPid.size()));
    for (const int written : std::as_const(nextOfPid))
        QCOMPARE(written, kCount);
}

QTEST_GUILESS_MAIN(TestLog)
#include "tst_log.moc"
