// Sharing the line with the usual serial tools, both ways. The real program in one-shot mode,
// against a virtual switcher in this process, keeps off a port whose UUCP lock file or flock
// another program holds (picocom and minicom themselves when installed), and clears a stale
// lock file; while InCycler holds the port, its lock file is in the tools' own form and
// picocom and minicom are refused.

#include "DeviceFree.h"
#include "OneShotProgram.h"
#include "TestSupport.h"
#include "device/dm_IF_ComPort.h"
#include "sim/VirtualSwitcher.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

// Generous: a loaded machine may take seconds to start a Qt program.
constexpr int kWaitMs = 60000;

bool Installed(const char* tool) {
    return !QStandardPaths::findExecutable(QLatin1String(tool)).isEmpty();
}

// The UUCP convention: the PID right-aligned in ten columns, then a newline.
QByteArray UucpContent(qint64 pid) {
    return QStringLiteral("%1\n").arg(pid, 10).toLatin1();
}

bool WriteFile(const QString& path, const QByteArray& content) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(content) == content.size();
}

// Whether TIOCEXCL is set on the tty.
bool Exclusive(const QString& device) {
    const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = 0;
    ::ioctl(fd, TIOCGEXCL, &exclusive);
    ::close(fd);
    return exclusive != 0;
}

// A serial tool in a terminal of its own, as an operator runs it.
class TTerminalTool {
public:
    explicit TTerminalTool(const QString& command) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("TERM"), QStringLiteral("xterm"));
        env.insert(QStringLiteral("HOME"), m_home.path());
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::MergedChannels);
        m_process.start(QStringLiteral("script"), {"-qefc", command, "/dev/null"});
    }
    ~TTerminalTool() {
        m_process.terminate();
        if (!m_process.waitForFinished(kWaitMs))
            m_process.kill();
        m_process.waitForFinished();
    }
    QProcess& Process() { return m_process; }

private:
    QTemporaryDir m_home;
    QProcess m_process;
};

} // namespace

class TestPortLocks : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void refusedWhileAnotherHoldsIt_data();
    void refusedWhileAnotherHoldsIt();
    void staleLockFileNeverLocksThePortOut_data();
    void staleLockFileNeverLocksThePortOut();
    void othersAreRefusedWhileInCyclerHoldsIt();

private:
    using TRun = TOneShotProgram::Result;
    // The one-shot run "/com03 /rsx24p /in2", while this event loop serves the switcher.
    bool Run(TRun* run) {
        TOneShotProgram::Options options;
        options.portDir = m_portDir.path();
        if (!m_program.Run({"/com03", "/rsx24p", "/in2"}, options, run))
            return false;
        if (run->exitStatus != QProcess::NormalExit)
            run->exitCode = -1; // killed: no status of its own
        return true;
    }

    TOneShotProgram m_program{QStringLiteral(INCYCLER_BINARY)};
    QTemporaryDir m_portDir;
    std::unique_ptr<VirtualSwitcher> m_switcher;
    QString m_device;   // the pty behind COM3
    QString m_lockFile; // its lock file's path, as the tools name it
};

void TestPortLocks::initTestCase() {
    if (!QFileInfo(QStringLiteral("/var/lock")).isWritable())
        QSKIP("no writable /var/lock");
    QVERIFY2(m_program.Valid(), INCYCLER_BINARY);
    QVERIFY(m_portDir.isValid());
}

void TestPortLocks::init() {
    VirtualSwitcher::Options options;
    options.comNumber = 3;
    options.portDir = m_portDir.path();
    m_switcher = std::make_unique<VirtualSwitcher>(options);
    QVERIFY(m_switcher->Start());
    m_device = QFileInfo(m_switcher->LinkPath()).canonicalFilePath();
    QVERIFY(m_device.startsWith(QStringLiteral("/dev/pts/")));
    m_lockFile = QStringLiteral("/var/lock/LCK..pts_") + m_device.mid(9);
}

void TestPortLocks::cleanup() {
    // Whatever a test or a killed tool left for this pty, whose number will be used again.
    ::unlink(QFile::encodeName(m_lockFile).constData());
    m_switcher.reset();
}

void TestPortLocks::refusedWhileAnotherHoldsIt_data() {
    QTest::addColumn<QString>("holder");
    // The reason after "InCycler: COM3 (<device>): ", as a pattern; <pid> is this process.
    QTest::addColumn<QString>("reason");
    const QString self = QStringLiteral("in use by process <pid> \\(tst_portlocks\\)");
    QTest::newRow("live lock file") << "lock file" << self;
    QTest::newRow("flock") << "flock" << self;
    // A service's user, in the port's group through its unit (SupplementaryGroups=), not by
    // the group database.
    QTest::newRow("a service's lock file") << "service"
                                           << "in use by process \\d+ \\(sleep\\)";
    QTest::newRow("picocom") << "picocom"
                             << "in use by process \\d+ \\(picocom\\)";
    QTest::newRow("minicom") << "minicom"
                             << "in use by process \\d+ \\(minicom\\)";
}

void TestPortLocks::refusedWhileAnotherHoldsIt() {
    QFETCH(QString, holder);
    QFETCH(QString, reason);
    const qint64 self = QCoreApplication::applicationPid();

    QByteArray lockContent;
    int flockFd = -1;
    std::unique_ptr<TTerminalTool> tool;
    QProcess service;
    const auto stopService = qScopeGuard([&] { service.kill(), service.waitForFinished(); });
    if (holder == QLatin1String("lock file")) {
        lockContent = UucpContent(self);
        QVERIFY(WriteFile(m_lockFile, lockContent));
    } else if (holder == QLatin1String("service")) {
        struct stat device {};
        QCOMPARE(::stat(QFile::encodeName(m_device).constData(), &device), 0);
        service.start(QStringLiteral("setpriv"),
                      {"--reuid=65534", "--regid=65534",
                       QStringLiteral("--groups=%1").arg(device.st_gid), "sleep", "60"});
        if (::geteuid() != 0 || !service.waitForStarted(kWaitMs))
            QSKIP("needs root and setpriv");
        lockContent = UucpContent(service.processId());
        QVERIFY(WriteFile(m_lockFile, lockContent));
        QCOMPARE(::chown(QFile::encodeName(m_lockFile).constData(), 65534, 65534), 0);
        // Running as the service's user, with its groups.
        QVERIFY(QTest::qWaitFor([&] {
            return ReadWholeFile(QStringLiteral("/proc/%1/comm").arg(service.processId())) ==
                   "sleep\n";
        }));
    } else if (holder == QLatin1String("flock")) {
        flockFd = ::open(QFile::encodeName(m_device).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(flockFd >= 0 && ::flock(flockFd, LOCK_EX | LOCK_NB) == 0);
    } else {
        if (!Installed(holder.toLatin1().constData()))
            QSKIP("not installed");
        const bool picocom = holder == QLatin1String("picocom");
        tool = std::make_unique<TTerminalTool>(
            (picocom ? QStringLiteral("picocom -q -b 9600 %1") : QStringLiteral("minicom -D %1"))
                .arg(m_device));
        // Holding: picocom has its flock, minicom has written its lock file.
        QVERIFY(QTest::qWaitFor(
            [&] { return picocom ? !DeviceFree(m_device) : !ReadWholeFile(m_lockFile).isEmpty(); },
            kWaitMs));
        lockContent = ReadWholeFile(m_lockFile);
    }

    TRun run;
    QVERIFY(Run(&run));
    if (flockFd >= 0)
        ::close(flockFd);
    QCOMPARE(run.exitCode, 1);
    const QList<QByteArray> lines = OwnLines(run.standardError);
    QVERIFY2(lines.size() == 1, run.standardError.constData());
    const QRegularExpression expected(
        QStringLiteral("^InCycler: COM3 \\(%1\\): %2$")
            .arg(QRegularExpression::escape(m_device),
                 QString(reason).replace("<pid>", QString::number(self))));
    QVERIFY2(expected.match(QString::fromLocal8Bit(lines.first())).hasMatch(), lines.first());
    // The other program's lock file is left as it was.
    QCOMPARE(ReadWholeFile(m_lockFile), lockContent);
    QCoreApplication::processEvents();
    QVERIFY(!m_switcher->Frames().contains("SRC2"));
}

void TestPortLocks::staleLockFileNeverLocksThePortOut_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("ageSeconds");
    // What else lies at the name, or who made it: the lock directory is everyone's.
    QTest::addColumn<QString>("planted");
    QTest::addColumn<QByteArray>("says"); // once on standard error

    QProcess gone;
    gone.start(QStringLiteral("true"));
    QVERIFY(gone.waitForStarted(kWaitMs));
    const qint64 pid = gone.processId();
    QVERIFY(gone.waitForFinished(kWaitMs));
    const QByteArray self = UucpContent(QCoreApplication::applicationPid());
    QTest::newRow("dead PID") << UucpContent(pid) << 0 << "" << QByteArray();
    QTest::newRow("no PID, old") << QByteArray("garbage\n") << 60 << "" << QByteArray();
    // Opening either by its name would block, or read what it leads to.
    QTest::newRow("FIFO") << QByteArray() << 0 << "fifo"
                          << QByteArray("is a FIFO, not a lock file");
    QTest::newRow("link to a live lock")
        << self << 0 << "link" << QByteArray("is a symbolic link, not a lock file");
    // A live PID, but written by someone who could not have opened the port.
    QTest::newRow("stranger's lock file")
        << self << 0 << "stranger" << QByteArray("was made by uid 65534, who may not open");
}

void TestPortLocks::staleLockFileNeverLocksThePortOut() {
    QFETCH(QByteArray, content);
    QFETCH(int, ageSeconds);
    QFETCH(QString, planted);
    QFETCH(QByteArray, says);
    const QByteArray name = QFile::encodeName(m_lockFile);
    if (planted == QLatin1String("fifo")) {
        QCOMPARE(::mkfifo(name.constData(), 0644), 0);
    } else if (planted == QLatin1String("link")) {
        const QString target = m_portDir.filePath(QStringLiteral("live.lock"));
        QVERIFY(WriteFile(target, content));
        QVERIFY(QFile::link(target, m_lockFile));
    } else {
        QVERIFY(WriteFile(m_lockFile, content));
        QFile file(m_lockFile);
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.setFileTime(QDateTime::currentDateTimeUtc().addSecs(-ageSeconds),
                                 QFileDevice::FileModificationTime));
        file.close();
        if (planted == QLatin1String("stranger") && ::chown(name.constData(), 65534, 65534) != 0)
            QSKIP("needs root to give the file to another user");
    }

    TRun run;
    QVERIFY(Run(&run));
    QVERIFY2(run.exitCode == 0, run.standardError.constData());
    QTRY_COMPARE(m_switcher->Frames(), QList<QByteArray>{"SRC2"});
    QCOMPARE(run.standardError.count("InCycler: "), says.isEmpty() ? 0 : 1);
    QVERIFY2(run.standardError.contains(says), run.standardError.constData());
    // Cleared, then the program's own, which went with it when it ended.
    QVERIFY(!QFileInfo::exists(m_lockFile) && !QFileInfo(m_lockFile).isSymLink());
    QVERIFY(DeviceFree(m_device));
}

void TestPortLocks::othersAreRefusedWhileInCyclerHoldsIt() {
    const ScopedEnv portDir("INCYCLER_PORT_DIR", m_portDir.path().toLocal8Bit());
    Tmod_IF_ComPort module;
    QVERIFY(module.OpenComPort(3));
    QCOMPARE(ReadWholeFile(m_lockFile), UucpContent(QCoreApplication::applicationPid()));
    QVERIFY(!DeviceFree(m_device)); // the flock, as picocom tries it
    QVERIFY(Exclusive(m_device));

    if (Installed("picocom")) {
        QProcess picocom;
        picocom.start(QStringLiteral("picocom"), {"-qX", "-b", "9600", m_device});
        QVERIFY(picocom.waitForFinished(kWaitMs));
        QCOMPARE(picocom.exitCode(), 1);
        QVERIFY2(picocom.readAllStandardError().contains("cannot lock"), "picocom got the port");
    }
    if (Installed("minicom")) {
        TTerminalTool minicom(QStringLiteral("minicom -D %1").arg(m_device));
        QVERIFY(minicom.Process().waitForFinished(kWaitMs));
        const QByteArray output = minicom.Process().readAll();
        QVERIFY2(output.contains("is locked"), output.constData());
    }
    QCOMPARE(ReadWholeFile(m_lockFile), UucpContent(QCoreApplication::applicationPid()));

    QVERIFY(module.CloseComPort());
    QVERIFY(DeviceFree(m_device));
    QVERIFY(!Exclusive(m_device));
}

QTEST_MAIN(TestPortLocks)
#include "tst_portlocks.moc"
