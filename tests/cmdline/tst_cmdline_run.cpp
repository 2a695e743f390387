// The one-shot command line end to end: the built program, copied into a directory of its
// own (so that its log lies beside it), run without a display against a virtual switcher
// that lives in this process's event loop.

#include "OneShotProgram.h"
#include "TestSupport.h"
#include "device/SerialLock.h"
#include "sim/VirtualSwitcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSerialPort>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <grp.h>
#include <memory>

#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Generous: a loaded machine may take seconds to start a Qt program.
constexpr int kRunTimeoutMs = 60000;

const QString kInfo = QStringLiteral("情報");
const QString kError = QStringLiteral("エラー");
const QString kParseProc = QStringLiteral("TFormMain_DoProcess_ByParamStr");
const QString kRunProc = QStringLiteral("TFormMain_StartupProcess_ForCmdLineParams");
const QString kSuccess = QStringLiteral("（引数）引数実行成功");
const QString kOpenFailed = QStringLiteral("（COM）COMポートOPEN失敗");

QByteArray Framed(const QByteArray& text) {
    return '\x1b' + text + '\r';
}

// What the process has open, as paths.
QStringList OpenFiles(qint64 pid) {
    QStringList files;
    const QString fdDir = QStringLiteral("/proc/%1/fd").arg(pid);
    for (const QString& fd : QDir(fdDir).entryList(QDir::Files | QDir::System))
        files.append(QFile::symLinkTarget(fdDir + '/' + fd));
    return files;
}

// Whether the process has its own handler for the signal (it is then past its start-up's
// first steps and will not simply be killed by it).
bool Catches(qint64 pid, int signal) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return false;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("SigCgt:"))
            return (line.mid(7).trimmed().toULongLong(nullptr, 16) >> (signal - 1)) & 1;
    }
    return false;
}

// Stops the process (SIGSTOP) as soon as `when` holds, so that the test can look at it and
// send a signal at a moment it knows. False when the process ended first.
bool StopWhen(QProcess& process, const std::function<bool()>& when) {
    if (!QTest::qWaitFor([&] { return process.state() != QProcess::Running || when(); }, 60000) ||
        process.state() != QProcess::Running)
        return false;
    ::kill(pid_t(process.processId()), SIGSTOP);
    return QTest::qWaitFor(
        [&] {
            QFile stat(QStringLiteral("/proc/%1/stat").arg(process.processId()));
            return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") T ");
        },
        60000);
}

} // namespace

class TestCmdLineRun : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void CommandReachesTheDevice_data();
    void CommandReachesTheDevice();
    void RefusedArgumentsEndWithoutADisplay_data();
    void RefusedArgumentsEndWithoutADisplay();
    void PortThatCannotBeOpened_data();
    void PortThatCannotBeOpened();
    void PortHeldByAnotherProgram();
    void SignalBeforeTheCommandLeft_data();
    void SignalBeforeTheCommandLeft();
    void LineHeldBack_data();
    void LineHeldBack();
    void HostileLogFile_data();
    void HostileLogFile();
    void HelpAndVersion_data();
    void HelpAndVersion();
    void RotateWithoutADisplay_data();
    void RotateWithoutADisplay();

private:
    using RunResult = TOneShotProgram::Result;
    using RunOptions = TOneShotProgram::Options;

    VirtualSwitcher& StartSwitcher(VirtualSwitcher::Model model, int comNumber = 3);
    // The program to its end, with the switcher's port directory unless told another.
    bool Run(const QStringList& arguments, RunResult* result, RunOptions options = {});
    QString LogPath() const { return m_program.LogPath(); }
    // Each record's six fields.
    QList<QStringList> LogRecords() const;
    // Everything the switcher got, once the line has nothing more in flight.
    QByteArray ReceivedAfterExit(const QByteArray& expected);

    TOneShotProgram m_program{QStringLiteral(INCYCLER_BINARY)};
    QTemporaryDir m_portDir;
    std::unique_ptr<VirtualSwitcher> m_switcher;
};

void TestCmdLineRun::initTestCase() {
    QVERIFY2(m_program.Valid(), INCYCLER_BINARY);
    QVERIFY(m_portDir.isValid());
}

void TestCmdLineRun::init() {
    // Whatever an earlier test left in the log's place: a file, a FIFO, a link, a directory.
    ::unlink(QFile::encodeName(LogPath()).constData());
    ::rmdir(QFile::encodeName(LogPath()).constData());
}

void TestCmdLineRun::cleanup() {
    m_switcher.reset();
}

VirtualSwitcher& TestCmdLineRun::StartSwitcher(VirtualSwitcher::Model model, int comNumber) {
    VirtualSwitcher::Options options;
    options.model = model;
    options.comNumber = comNumber;
    options.portDir = m_portDir.path();
    m_switcher = std::make_unique<VirtualSwitcher>(options);
    QString error;
    if (!m_switcher->Start(&error))
        qFatal("the virtual switcher did not start: %s", qPrintable(error));
    return *m_switcher;
}

bool TestCmdLineRun::Run(const QStringList& arguments, RunResult* result, RunOptions options) {
    if (options.portDir.isEmpty())
        options.portDir = m_portDir.path();
    return m_program.Run(arguments, options, result);
}

QList<QStringList> TestCmdLineRun::LogRecords() const {
    QFile file(LogPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QList<QStringList> records;
    const QString text = QString::fromUtf8(file.readAll());
    for (const QString& line : text.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
        records.append(line.split(QLatin1Char(',')));
    return records;
}

QByteArray TestCmdLineRun::ReceivedAfterExit(const QByteArray& expected) {
    // The program has ended, but the bytes it left in the pty may not have been read yet.
    // A short count shows in the caller's comparison.
    [[maybe_unused]] const bool arrived =
        QTest::qWaitFor([&] { return m_switcher->RawReceived().size() >= expected.size(); }, 5000);
    // One more pass lets the switcher read anything beyond what was expected.
    QCoreApplication::processEvents();
    return m_switcher->RawReceived();
}

void TestCmdLineRun::CommandReachesTheDevice_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("modelB");
    QTest::addColumn<QByteArray>("frame");
    // As cron starts a job: hardly any environment, no runtime directory, no session bus;
    // "x" with an X display (and still no bus).
    QTest::addColumn<QString>("cron");

    QTest::newRow("input") << QStringList{"/com03", "/rsx24p", "/in2"} << false
                           << QByteArray("SRC2") << QString();
    QTest::newRow("upper case") << QStringList{"/COM03", "/RSX24P", "/IN2"} << false
                                << QByteArray("SRC2") << QString();
    QTest::newRow("no slashes") << QStringList{"com03", "rsx24p", "in2"} << false
                                << QByteArray("SRC2") << QString();
    QTest::newRow("in0") << QStringList{"/com03", "/rsx24p", "/in0"} << false << QByteArray("SRC0")
                         << QString();
    QTest::newRow("in9") << QStringList{"/com03", "/rsx24p", "/in9"} << false << QByteArray("SRC9")
                         << QString();
    QTest::newRow("fourth argument") << QStringList{"/com03", "/rsx24p", "/in2", "/extra"} << false
                                     << QByteArray("SRC2") << QString();
    QTest::newRow("power on") << QStringList{"/com03", "/rsx24p", "/pwr1"} << false
                              << QByteArray("PWR1") << QString();
    // The port is closed right after this one: the frame must have left it first.
    QTest::newRow("power off") << QStringList{"/com03", "/rsx24p", "/pwr0"} << false
                               << QByteArray("PWR0") << QString();
    QTest::newRow("model B input")
        << QStringList{"/com03", "/rsx24q", "/in3"} << true << QByteArray("X24Q3") << QString();
    QTest::newRow("cron") << QStringList{"/com03", "/rsx24p", "/in2"} << false << QByteArray("SRC2")
                          << "plain";
    QTest::newRow("cron, X display")
        << QStringList{"/com03", "/rsx24p", "/in2"} << false << QByteArray("SRC2") << "x";
}

void TestCmdLineRun::CommandReachesTheDevice() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, modelB);
    QFETCH(QByteArray, frame);
    QFETCH(QString, cron);
    if (cron == QLatin1String("x") &&
        QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
        QSKIP("needs xvfb-run");
    VirtualSwitcher& sim =
        StartSwitcher(modelB ? VirtualSwitcher::Model::B : VirtualSwitcher::Model::A);
    QTemporaryDir home;
    RunOptions options;
    if (!cron.isEmpty()) {
        options.wrap = {"sh", "-c",
                        QStringLiteral("exec env -i PATH=/usr/bin:/bin HOME=%1 "
                                       "INCYCLER_PORT_DIR=%2 %3 \"$0\" \"$@\"")
                            .arg(home.path(), m_portDir.path(),
                                 cron == QLatin1String("x")
                                     ? QStringLiteral("DISPLAY=\"$DISPLAY\" "
                                                      "XAUTHORITY=\"$XAUTHORITY\"")
                                     : QString())};
        if (cron == QLatin1String("x"))
            options.wrap = QStringList{"xvfb-run", "-a"} + options.wrap;
    }

    RunResult run;
    QVERIFY(Run(arguments, &run, options));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    // Nothing to report on a success: no error box went to standard error instead. Under
    // cron not even Qt's notes (cron would mail them), and no bus started on the display's
    // behalf and left behind.
    QVERIFY2(OwnLines(run.standardError).isEmpty(), run.standardError.constData());
    QCOMPARE(run.standardOutput, QByteArray());
    if (!cron.isEmpty()) {
        QCOMPARE(run.standardError, QByteArray());
        QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral(".dbus"))));
    }

    QCOMPARE(ReceivedAfterExit(Framed(frame)), Framed(frame));
    QCOMPARE(sim.Frames(), QList<QByteArray>{frame});

    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    const QStringList& record = records.first();
    QCOMPARE(record.size(), 6);
    if (cron != QLatin1String("x")) // xvfb-run's own process is the one started
        QCOMPARE(record[2], QString::number(run.pid));
    QCOMPARE(record[3], kInfo);
    QCOMPARE(record[4], kRunProc);
    QCOMPARE(record[5], kSuccess);
}

void TestCmdLineRun::RefusedArgumentsEndWithoutADisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("text"); // empty: no record

    QTest::newRow("port too short")
        << QStringList{"/com3", "/rsx24p", "/in2"} << QStringLiteral("（引数）第一引数不正");
    QTest::newRow("port letters") << QStringList{"/comAB", "/rsx24p", "/in2"} << QString();
    QTest::newRow("port -1") << QStringList{"com-1", "/rsx24p", "/in2"} << QString();
    QTest::newRow("unknown model")
        << QStringList{"/com03", "/rsx24x", "/in2"} << QStringLiteral("（引数）第二引数不正");
    QTest::newRow("input too long")
        << QStringList{"/com03", "/rsx24p", "/in12"} << QStringLiteral("（引数）第三引数不正");
    QTest::newRow("unknown command")
        << QStringList{"/com03", "/rsx24p", "/on"} << QStringLiteral("（引数）第三引数不正");
    QTest::newRow("input not a digit") << QStringList{"/com03", "/rsx24p", "/inX"} << QString();
    QTest::newRow("power 2") << QStringList{"/com03", "/rsx24p", "/pwr2"}
                             << QStringLiteral("（引数）第三引数不正");
    QTest::newRow("power on model B")
        << QStringList{"/com03", "/rsx24q", "/pwr1"} << QStringLiteral("（引数）第三引数不正");
    // What look like Qt's options are arguments like any other.
    QTest::newRow("-platform among them") << QStringList{"/com03", "-platform", "/rsx24p", "/in2"}
                                          << QStringLiteral("（引数）第二引数不正");
    QTest::newRow("-reverse first") << QStringList{"-reverse", "/com03", "/rsx24p", "/in2"}
                                    << QStringLiteral("（引数）第一引数不正");
}

void TestCmdLineRun::RefusedArgumentsEndWithoutADisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, text);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);

    RunResult run;
    QVERIFY(Run(arguments, &run));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    // With a display the window would start; without one the run is refused.
    QCOMPARE(run.exitCode, 2);
    QVERIFY2(OwnLines(run.standardError).size() == 1, run.standardError.constData());

    const QList<QStringList> records = LogRecords();
    if (text.isEmpty()) {
        QCOMPARE(records.size(), 0);
    } else {
        QCOMPARE(records.size(), 1);
        QCOMPARE(records.first().size(), 6);
        QCOMPARE(records.first()[2], QString::number(run.pid));
        QCOMPARE(records.first()[3], kError);
        QCOMPARE(records.first()[4], kParseProc);
        QCOMPARE(records.first()[5], text);
    }
    QCOMPARE(sim.RawReceived(), QByteArray());
}

void TestCmdLineRun::PortThatCannotBeOpened_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("platform"); // QT_QPA_PLATFORM as the caller sets it
    QTest::addColumn<QString>("portDir");  // empty: the switcher's
    QTest::addColumn<QString>("line");     // on standard error; <ports> is the switcher's directory

    QTest::newRow("no such port") << QStringList{"/com07", "/rsx24p", "/in2"} << QString()
                                  << QString() << "InCycler: COM7 (<ports>/COM7): no such device";
    // Port 0 asks the operator to choose; with nobody to ask that counts as a cancel.
    QTest::newRow("port 0 without a display")
        << QStringList{"/com00", "/rsx24p", "/in2"} << QString() << QString()
        << "InCycler: No serial port was chosen";
    QTest::newRow("port 0 on the offscreen platform")
        << QStringList{"/com00", "/rsx24p", "/in2"} << QStringLiteral("offscreen") << QString()
        << "InCycler: No serial port was chosen";
    // A mistyped directory: nothing else is opened instead, although COM3 exists elsewhere.
    QTest::newRow("missing port directory")
        << QStringList{"/com03", "/rsx24p", "/in2"} << QString() << "/nonexistent/ports"
        << "InCycler: COM3: the port directory /nonexistent/ports (INCYCLER_PORT_DIR) is not a "
           "readable directory";
    // Run as nobody, with the device given to dialout as Debian gives serial ports.
    QTest::newRow("permission denied")
        << QStringList{"/com03", "/rsx24p", "/in2"} << QString() << QString()
        << "InCycler: COM3 (<device>): Permission denied; is the user in the group dialout?";
    // Run as nobody in dialout, after a holder that crashed left the pty in exclusive mode.
    QTest::newRow("exclusive mode left behind")
        << QStringList{"/com03", "/rsx24p", "/in2"} << QString() << QString()
        << "InCycler: COM3 (<device>): held exclusively by no running program: a "
           "pseudo-terminal keeps that until its other end closes";
}

void TestCmdLineRun::PortThatCannotBeOpened() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(QString, portDir);
    QFETCH(QString, line);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);

    RunOptions options;
    const QString device = QFileInfo(sim.LinkPath()).canonicalFilePath();
    const bool leftExclusive = line.contains(QLatin1String("held exclusively"));
    if (line.contains(QLatin1String("Permission denied")) || leftExclusive) {
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        const group* dialout = ::getgrnam("dialout");
        if (::geteuid() != 0 || setpriv.isEmpty() || dialout == nullptr)
            QSKIP("needs root, setpriv and the group dialout");
        QCOMPARE(::chown(QFile::encodeName(device).constData(), 0, dialout->gr_gid), 0);
        QCOMPARE(::chmod(QFile::encodeName(device).constData(), 0660), 0);
        // Nobody may run the program, write its log beside it and reach the link (a port
        // directory that others may write is refused).
        QCOMPARE(::chmod(QFile::encodeName(QFileInfo(m_program.Path()).path()).constData(), 0777),
                 0);
        QCOMPARE(::chmod(QFile::encodeName(m_portDir.path()).constData(), 0755), 0);
        options.wrap = {setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
        if (leftExclusive) {
            options.wrap.last() = QStringLiteral("--groups=%1").arg(dialout->gr_gid);
            const int fd = ::open(QFile::encodeName(device).constData(), O_RDWR | O_NOCTTY);
            QVERIFY(fd >= 0 && ::ioctl(fd, TIOCEXCL) == 0);
            ::close(fd);
        }
    }

    RunResult run;
    options.portDir = portDir;
    options.environment = [&](QProcessEnvironment& env) {
        if (!platform.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    };
    QVERIFY(Run(arguments, &run, options));
    line.replace(QStringLiteral("<ports>"), m_portDir.path());
    QCOMPARE(OwnLines(run.standardError),
             QList<QByteArray>{line.replace(QStringLiteral("<device>"), device).toUtf8()});
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 1);

    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first().size(), 6);
    QCOMPARE(records.first()[3], kError);
    QCOMPARE(records.first()[4], kRunProc);
    QCOMPARE(records.first()[5], kOpenFailed);
    QCOMPARE(sim.RawReceived(), QByteArray());
}

void TestCmdLineRun::PortHeldByAnotherProgram() {
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    // The resolved device, as the program opens it, so that both meet on one lock.
    QSerialPort holder;
    holder.setPortName(QFileInfo(sim.LinkPath()).canonicalFilePath());
    QVERIFY2(holder.open(QIODevice::ReadWrite), qPrintable(holder.errorString()));

    RunResult run;
    QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run));
    QCOMPARE(run.exitCode, 1);
    // Qt's lock file starts with the PID as the UUCP one does.
    QCOMPARE(
        OwnLines(run.standardError),
        QList<QByteArray>{QStringLiteral("InCycler: COM3 (%1): in use by process %2 (%3)")
                              .arg(QFileInfo(sim.LinkPath()).canonicalFilePath())
                              .arg(QCoreApplication::applicationPid())
                              .arg(QString::fromUtf8(ReadWholeFile("/proc/self/comm").trimmed()))
                              .toUtf8()});

    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first()[3], kError);
    QCOMPARE(records.first()[4], kRunProc);
    QCOMPARE(records.first()[5], kOpenFailed);
    QCOMPARE(sim.RawReceived(), QByteArray());
}

void TestCmdLineRun::SignalBeforeTheCommandLeft_data() {
    QTest::addColumn<int>("signal");
    QTest::addColumn<bool>("duringTrim"); // handled inside the start-up's trim of a long log

    QTest::newRow("SIGTERM") << int(SIGTERM) << false;
    QTest::newRow("SIGINT") << int(SIGINT) << false;
    QTest::newRow("SIGHUP") << int(SIGHUP) << false;
    QTest::newRow("SIGTERM during the trim") << int(SIGTERM) << true;
}

void TestCmdLineRun::SignalBeforeTheCommandLeft() {
    QFETCH(int, signal);
    QFETCH(bool, duringTrim);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    QByteArray oldLog;
    if (duringTrim) {
        for (int i = 0; i < 400000; ++i)
            oldLog += "2024/05/01,9:05:03.042,1,情報,TFormMain_Old,old\r\n";
    }

    // The process is stopped at a moment when it has its handlers and has not opened the
    // port (nor, for the trim, closed the log it counts); a run that got past that point
    // is tried again, so that the signal always comes before the command could leave.
    RunResult run;
    bool stoppedInTime = false;
    for (int attempt = 0; attempt < 5 && !stoppedInTime; ++attempt) {
        QFile log(LogPath());
        QVERIFY(log.open(QIODevice::WriteOnly | QIODevice::Truncate));
        log.write(oldLog);
        log.close();
        sim.ClearRawReceived();
        RunOptions options;
        options.during = [&](QProcess& process) {
            const qint64 pid = process.processId();
            const bool stopped = StopWhen(process, [&] {
                return Catches(pid, signal) &&
                       (!duringTrim || OpenFiles(pid).contains(QFileInfo(LogPath()).filePath()));
            });
            stoppedInTime = stopped && !OpenFiles(pid).contains(sim.SlavePath());
            ::kill(pid_t(pid), stoppedInTime ? signal : SIGKILL);
            ::kill(pid_t(pid), SIGCONT);
        };
        QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run, options));
    }
    QVERIFY2(stoppedInTime, "the run always got to its port before it could be stopped");

    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 128 + signal);
    QCoreApplication::processEvents();
    QCOMPARE(sim.RawReceived(), QByteArray());
    // No record: the log holds what it held before (trimmed when it was long).
    const QByteArray log = ReadWholeFile(LogPath());
    QVERIFY(oldLog.endsWith(log));
    const QList<QByteArray> own = OwnLines(run.standardError);
    QVERIFY2(own.size() == 1 && own.first().contains("signal " + QByteArray::number(signal)),
             run.standardError.constData());
}

void TestCmdLineRun::LineHeldBack_data() {
    QTest::addColumn<QStringList>("arguments");
    // Released at once after a SIGTERM that comes while the frame is held on its way.
    QTest::addColumn<bool>("signalThenRelease");
    QTest::newRow("input") << QStringList{"/com03", "/rsx24p", "/in2"} << false;
    // The port is closed right after this one, which throws away what is still queued.
    QTest::newRow("power off") << QStringList{"/com03", "/rsx24p", "/pwr0"} << false;
    QTest::newRow("signal after sending") << QStringList{"/com03", "/rsx24p", "/in2"} << true;
}

void TestCmdLineRun::LineHeldBack() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, signalThenRelease);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    QVERIFY(sim.SetLineHeld(true));
    RunOptions options;
    if (signalThenRelease) {
        options.during = [&](QProcess& process) {
            // Once it has the port, the frame is handed over before any event is handled.
            const qint64 pid = process.processId();
            QVERIFY(QTest::qWaitFor([&] { return OpenFiles(pid).contains(sim.SlavePath()); },
                                    kRunTimeoutMs));
            ::kill(pid_t(pid), SIGTERM);
            sim.SetLineHeld(false);
        };
    }

    RunResult run;
    QVERIFY(Run(arguments, &run, options));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    if (signalThenRelease) {
        // The signal came once the command was on its way: the run ends as its own.
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(ReceivedAfterExit(Framed("SRC2")), Framed("SRC2"));
        QCOMPARE(records.first()[3], kInfo);
        QCOMPARE(records.first()[5], kSuccess);
        return;
    }
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(OwnLines(run.standardError).size() == 1, run.standardError.constData());
    QCOMPARE(records.first()[3], kError);
    QCOMPARE(records.first()[4], kRunProc);
    QCOMPARE(records.first()[5], QStringLiteral("（COM）コマンド送信失敗"));
    // Released, the line carries nothing: the frame went with the port.
    QVERIFY(sim.SetLineHeld(false));
    QCoreApplication::processEvents();
    QCOMPARE(sim.RawReceived(), QByteArray());
}

void TestCmdLineRun::HostileLogFile_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QString>("reason"); // in the one line on standard error; empty: none

    QTest::newRow("FIFO") << "fifo" << 2 << QStringLiteral("not a regular file");
    QTest::newRow("directory") << "directory" << 2 << qt_error_string(EISDIR);
    QTest::newRow("link loop") << "loop" << 2 << qt_error_string(ELOOP);
    QTest::newRow("unterminated last line") << "unterminated" << 0 << QString();
    // Under a file-size limit below the log's size the append fails; it must not kill the run.
    QTest::newRow("file-size limit") << "limit" << 0 << qt_error_string(EFBIG);
    // No room for the trim to turn lone LF ends into CR LF: the log is left as it was.
    QTest::newRow("full disk") << "full" << 0 << qt_error_string(ENOSPC);
    // Anyone who can read the log can lock it: the run waits its while, then goes on.
    QTest::newRow("locked by a reader")
        << "locked" << 0 << QStringLiteral("records are appended without its lock");
}

void TestCmdLineRun::HostileLogFile() {
    QFETCH(QString, kind);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    RunOptions options;
    QString logPath = LogPath();
    // The full disk: a small file system of its own, holding the program and its log.
    QTemporaryDir mountPoint;
    const QByteArray at = QFile::encodeName(mountPoint.path());
    const auto unmount = qScopeGuard([&] {
        if (kind == QLatin1String("full"))
            ::umount2(at.constData(), MNT_DETACH);
    });
    if (kind == QLatin1String("full")) {
        // Room for the program (a sanitizer build is large) and a few megabytes of log.
        const QByteArray size =
            "size=" + QByteArray::number(QFileInfo(m_program.Path()).size() + (8 << 20));
        if (::mount("tmpfs", at.constData(), "tmpfs", 0, size.constData()) != 0)
            QSKIP("needs root to mount a small file system");
        options.program = mountPoint.filePath(QStringLiteral("InCycler"));
        QVERIFY(QFile::copy(m_program.Path(), options.program));
        logPath = mountPoint.filePath(QStringLiteral("InCycler.log"));
    }
    const QByteArray log = QFile::encodeName(logPath);
    QByteArray content;
    if (kind == QLatin1String("unterminated"))
        content = "old\r\nlast";
    else if (kind == QLatin1String("limit"))
        content = QByteArray(4096, 'x') + "\r\n";
    else if (kind == QLatin1String("full"))
        for (int i = 0; i < 10001; ++i)
            content +=
                "2024/05/01,9:05:03.042,1,情報,TFormMain_Old," + QByteArray::number(i) + '\n';
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(log.constData(), 0644), 0);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(logPath));
    else if (kind == QLatin1String("loop"))
        QCOMPARE(::symlink(log.constData(), log.constData()), 0);
    else {
        QFile file(logPath);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), content.size());
    }
    if (kind == QLatin1String("full")) {
        // Fill what is left, then give back one page: room for a record, not for the trim.
        QFile filler(mountPoint.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(65536, 'f');
        while (filler.write(block) > 0 && filler.flush()) {
        }
        filler.close();
        QVERIFY(filler.resize(filler.size() - 4096));
    }
    if (kind == QLatin1String("limit"))
        options.wrap = {"sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\""};
    const int reader = kind == QLatin1String("locked") ? ::open(log.constData(), O_RDONLY) : -1;
    const auto unlock = qScopeGuard([reader] { ::close(reader); });
    if (kind == QLatin1String("locked"))
        QCOMPARE(::flock(reader, LOCK_EX | LOCK_NB), 0);

    RunResult run;
    QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run, options));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    const QList<QByteArray> own = OwnLines(run.standardError);
    if (reason.isEmpty()) {
        QVERIFY2(own.isEmpty(), run.standardError.constData());
    } else {
        // The trim's and the record's, each once.
        QVERIFY2(own.size() == (kind == QLatin1String("locked") ? 2 : 1),
                 run.standardError.constData());
        for (const QByteArray& line : own)
            QVERIFY2(line.contains(log), line.constData());
        QVERIFY2(own.last().contains(reason.toUtf8()), own.last().constData());
    }
    if (exitCode == 0) {
        QCOMPARE(ReceivedAfterExit(Framed("SRC2")), Framed("SRC2"));
    } else {
        QCoreApplication::processEvents();
        QCOMPARE(sim.RawReceived(), QByteArray());
    }
    // Not read for the FIFO, where the reading would wait for a writer for ever.
    const QByteArray after = kind == QLatin1String("fifo") ? QByteArray() : ReadWholeFile(logPath);
    if (kind == QLatin1String("unterminated")) {
        QVERIFY2(after.startsWith(content + "\r\n") && after.endsWith("\r\n"), after.constData());
        QCOMPARE(LogRecords().size(), 3);
        QCOMPARE(LogRecords().last()[5], kSuccess);
    } else if (kind == QLatin1String("locked")) {
        QCOMPARE(LogRecords().size(), 1);
        QCOMPARE(LogRecords().last()[5], kSuccess);
    } else if (kind == QLatin1String("full")) {
        // Left as it was, and the run's record after it.
        QVERIFY2(after.startsWith(content), "the log was changed");
        QVERIFY(after.mid(content.size()).contains(kSuccess.toUtf8()));
    }
}

void TestCmdLineRun::HelpAndVersion_data() {
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QByteArray>("says");
    QTest::newRow("--help") << "--help" << QFile::encodeName(LogPath());
    QTest::newRow("-h") << "-h" << QByteArray("INCYCLER_PORT_DIR");
    QTest::newRow("--version") << "--version" << QByteArray("InCycler 1.0.0\n");
    QTest::newRow("-V") << "-V" << QByteArray("InCycler 1.0.0\n");
}

void TestCmdLineRun::HelpAndVersion() {
    QFETCH(QString, argument);
    QFETCH(QByteArray, says);
    RunResult run;
    QVERIFY(Run({argument}, &run));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QVERIFY2(run.standardOutput.contains(says), run.standardOutput.constData());
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(!QFileInfo::exists(LogPath())); // not even an empty log
}

void TestCmdLineRun::RotateWithoutADisplay_data() {
    QTest::addColumn<QStringList>("options"); // after --rotate, unless they hold --serve
    QTest::addColumn<bool>("portLater");      // the switcher appears after the program
    QTest::addColumn<QByteArray>("refusal");  // in the one line of a refusal; empty: it rotates

    const QStringList good{"--port", "COM3", "--model", "rsx24p", "--inputs", "1,3", "--every"};
    QTest::newRow("rotation and stop") << good + QStringList{"5s"} << false << QByteArray();
    QTest::newRow("port that appears later")
        << QStringList{"--port=/com03", "--model=RSX24P", "--inputs=3,1", "--every=5S"} << true
        << QByteArray();
    QTest::newRow("missing option")
        << good.mid(2) + QStringList{"5s"} << false << QByteArray("--port");
    QTest::newRow("unknown option")
        << good + QStringList{"5s", "--fast"} << false << QByteArray("--fast");
    QTest::newRow("interval too short")
        << good + QStringList{"4s"} << false << QByteArray("--every: '4s'");
    QTest::newRow("interval too long")
        << good + QStringList{"121min"} << false << QByteArray("--every: '121min'");
    QTest::newRow("one input") << QStringList{"--port",   "com03", "--model", "rsx24p",
                                              "--inputs", "2",     "--every", "5s"}
                               << false << QByteArray("--inputs: '2'");
    QTest::newRow("same input twice")
        << QStringList{"--port", "com03", "--model", "rsx24p", "--inputs", "2,2", "--every", "5s"}
        << false << QByteArray("--inputs: '2,2'");
    QTest::newRow("malformed time")
        << good + QStringList{"5s", "--between", "8:00-17"} << false << QByteArray("--between");
    const QStringList serve{"--serve", "--port", "com03", "--model", "rsx24p"};
    QTest::newRow("serve with an interval")
        << serve + QStringList{"--every", "5s"} << false
        << QByteArray("--serve takes --port, --model and --hidden, not --every");
    QTest::newRow("serve and rotate")
        << QStringList{"--rotate"} + serve << false << QByteArray("are two forms");
    QTest::newRow("serve without a model")
        << serve.mid(0, 3) << false << QByteArray("--serve needs --model");
}

void TestCmdLineRun::RotateWithoutADisplay() {
    QFETCH(QStringList, options);
    QFETCH(bool, portLater);
    QFETCH(QByteArray, refusal);
    if (!portLater)
        StartSwitcher(VirtualSwitcher::Model::A);
    const auto selects = [this] {
        QList<QByteArray> out;
        for (const QByteArray& frame : m_switcher->Frames())
            if (frame.startsWith("SRC"))
                out.append(frame);
        return out;
    };
    QList<QByteArray> framesAtSignal;
    RunOptions run_options;
    run_options.during = [&](QProcess& process) {
        if (!refusal.isEmpty())
            return;
        if (portLater) {
            // Said and recorded once, then tried again quietly.
            QVERIFY(
                QTest::qWaitFor([&] { return QFileInfo(LogPath()).size() > 0; }, kRunTimeoutMs));
            StartSwitcher(VirtualSwitcher::Model::A);
        }
        // The first switch and the one an interval later, each with its query answered.
        QVERIFY(QTest::qWaitFor(
            [&] { return selects().size() >= 2 && m_switcher->Frames().last() == "GET"; },
            kRunTimeoutMs));
        framesAtSignal = m_switcher->Frames();
        ::kill(pid_t(process.processId()), SIGTERM);
    };

    RunResult run;
    const bool serve = options.contains(QStringLiteral("--serve"));
    QVERIFY(Run(serve ? options : QStringList{"--rotate"} + options, &run, run_options));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    const QList<QByteArray> own = OwnLines(run.standardError);
    if (!refusal.isEmpty()) {
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(own.size() == 1 && own.first().contains(refusal), run.standardError.constData());
        QVERIFY(!QFileInfo::exists(LogPath()));
        QCoreApplication::processEvents();
        QCOMPARE(m_switcher->RawReceived(), QByteArray());
        return;
    }
    // Stopped is a service's normal end: nothing sent after the signal, the port let go.
    QCOMPARE(run.exitCode, 0);
    QCoreApplication::processEvents();
    QCOMPARE(m_switcher->Frames(), framesAtSignal);
    QCOMPARE(framesAtSignal.mid(0, 3), (QList<QByteArray>{"PWR?", "PWR1", "SRC1"}));
    QCOMPARE(selects().mid(0, 2), (QList<QByteArray>{"SRC1", "SRC3"}));
    QVERIFY(!QFileInfo::exists(SerialLock::LockFilePath(m_switcher->SlavePath())));
    QVERIFY2(own.size() == (portLater ? 2 : 1) &&
                 own.last().startsWith("InCycler: rotating on COM3") &&
                 own.last().endsWith("RSX-24P, inputs 1,3, every 5 s, all day"),
             run.standardError.constData());
    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), portLater ? 1 : 0);
    if (portLater) {
        QVERIFY2(own.first().contains("no such device; trying again every 5 s"),
                 own.first().constData());
        QCOMPARE(records.first()[4], QStringLiteral("TFormMain_StartupProcess_ForRotateParams"));
        QCOMPARE(records.first()[5], kOpenFailed);
    }
}

QTEST_GUILESS_MAIN(TestCmdLineRun)
#include "tst_cmdline_run.moc"
