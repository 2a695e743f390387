// The one-shot command line end to end: the built program, copied into a directory of its
// own (so that its log lies beside it), run without a display against a virtual switcher
// that lives in this process's event loop.

#include "TestSupport.h"
#include "sim/VirtualSwitcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QScopeGuard>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <grp.h>
#include <memory>

#include <csignal>
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
    void SignalAfterTheCommandLeft();
    void LineHeldBack_data();
    void LineHeldBack();
    void HostileLogFile_data();
    void HostileLogFile();
    void FullDiskLeavesTheLogWhole();
    void HelpAndVersion_data();
    void HelpAndVersion();
    void QuietInCronsEnvironment_data();
    void QuietInCronsEnvironment();
    void PermissionDeniedNamesTheGroup();

private:
    struct RunResult {
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        qint64 pid = 0;
        QByteArray standardError;
    };

    VirtualSwitcher& StartSwitcher(VirtualSwitcher::Model model, int comNumber = 3);
    // Runs the program to its end while this event loop keeps serving the switcher; `during`
    // runs once the process has started, `environment` may change what it is given.
    struct RunOptions {
        std::function<void(QProcess&)> during;
        std::function<void(QProcessEnvironment&)> environment;
        QString program;       // the copy in m_exeDir by default
        QString portDir;       // the switcher's by default
        QStringList shellWrap; // e.g. {"sh", "-c", "ulimit -f 1; exec \"$0\" \"$@\""}
    };
    bool Run(const QStringList& arguments, RunResult* result, const RunOptions& options = {});
    // Standard output of the last Run.
    QByteArray m_standardOutput;
    QString LogPath() const { return m_exeDir.filePath(QStringLiteral("InCycler.log")); }
    // Each record's six fields.
    QList<QStringList> LogRecords() const;
    // Everything the switcher got, once the line has nothing more in flight.
    QByteArray ReceivedAfterExit(const QByteArray& expected);

    QTemporaryDir m_exeDir;
    QTemporaryDir m_portDir;
    QString m_program;
    std::unique_ptr<VirtualSwitcher> m_switcher;
};

void TestCmdLineRun::initTestCase() {
    QVERIFY(m_exeDir.isValid());
    QVERIFY(m_portDir.isValid());
    // A copy, not a link: the log goes beside the executable with links resolved.
    m_program = m_exeDir.filePath(QStringLiteral("InCycler"));
    QVERIFY2(QFile::copy(QStringLiteral(INCYCLER_BINARY), m_program), INCYCLER_BINARY);
    QVERIFY(QFileInfo(m_program).isExecutable());
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

bool TestCmdLineRun::Run(const QStringList& arguments, RunResult* result,
                         const RunOptions& options) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No display, and not the offscreen platform ctest gives this test: the program must
    // find out by itself that it has no display.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"),
               options.portDir.isEmpty() ? m_portDir.path() : options.portDir);
    if (options.environment)
        options.environment(env);
    process.setProcessEnvironment(env);
    QSignalSpy finished(&process, &QProcess::finished);
    const QString program = options.program.isEmpty() ? m_program : options.program;
    if (options.shellWrap.isEmpty())
        process.start(program, arguments);
    else
        process.start(options.shellWrap.first(),
                      options.shellWrap.mid(1) + QStringList{program} + arguments);
    if (!process.waitForStarted(kRunTimeoutMs))
        return false;
    result->pid = process.processId();
    if (options.during)
        options.during(process);
    // Not waitForFinished: that would starve the switcher of its event loop.
    if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    result->exitCode = process.exitCode();
    result->exitStatus = process.exitStatus();
    result->standardError = process.readAllStandardError();
    m_standardOutput = process.readAllStandardOutput();
    return true;
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

    QTest::newRow("input") << QStringList{"/com03", "/rsx24p", "/in2"} << false
                           << QByteArray("SRC2");
    QTest::newRow("upper case") << QStringList{"/COM03", "/RSX24P", "/IN2"} << false
                                << QByteArray("SRC2");
    QTest::newRow("no slashes") << QStringList{"com03", "rsx24p", "in2"} << false
                                << QByteArray("SRC2");
    QTest::newRow("in0") << QStringList{"/com03", "/rsx24p", "/in0"} << false << QByteArray("SRC0");
    QTest::newRow("in9") << QStringList{"/com03", "/rsx24p", "/in9"} << false << QByteArray("SRC9");
    QTest::newRow("fourth argument")
        << QStringList{"/com03", "/rsx24p", "/in2", "/extra"} << false << QByteArray("SRC2");
    QTest::newRow("power on") << QStringList{"/com03", "/rsx24p", "/pwr1"} << false
                              << QByteArray("PWR1");
    // The port is closed right after this one: the frame must have left it first.
    QTest::newRow("power off") << QStringList{"/com03", "/rsx24p", "/pwr0"} << false
                               << QByteArray("PWR0");
    QTest::newRow("model B input")
        << QStringList{"/com03", "/rsx24q", "/in3"} << true << QByteArray("X24Q3");
}

void TestCmdLineRun::CommandReachesTheDevice() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, modelB);
    QFETCH(QByteArray, frame);
    VirtualSwitcher& sim =
        StartSwitcher(modelB ? VirtualSwitcher::Model::B : VirtualSwitcher::Model::A);

    RunResult run;
    QVERIFY(Run(arguments, &run));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    // Nothing to report on a success: no error box went to standard error instead.
    QVERIFY2(OwnLines(run.standardError).isEmpty(), run.standardError.constData());

    QCOMPARE(ReceivedAfterExit(Framed(frame)), Framed(frame));
    QCOMPARE(sim.Frames(), QList<QByteArray>{frame});

    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    const QStringList& record = records.first();
    QCOMPARE(record.size(), 6);
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
}

void TestCmdLineRun::PortThatCannotBeOpened() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, platform);
    QFETCH(QString, portDir);
    QFETCH(QString, line);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);

    RunResult run;
    RunOptions options;
    options.portDir = portDir;
    options.environment = [&](QProcessEnvironment& env) {
        if (!platform.isEmpty())
            env.insert(QStringLiteral("QT_QPA_PLATFORM"), platform);
    };
    QVERIFY(Run(arguments, &run, options));
    QCOMPARE(OwnLines(run.standardError),
             QList<QByteArray>{line.replace(QStringLiteral("<ports>"), m_portDir.path()).toUtf8()});
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

void TestCmdLineRun::SignalAfterTheCommandLeft() {
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    // Held, the line keeps the process in its wait for the command to leave: the signal
    // comes while the frame is on its way, and the line is released at once.
    QVERIFY(sim.SetLineHeld(true));
    RunResult run;
    RunOptions options;
    options.during = [&](QProcess& process) {
        const qint64 pid = process.processId();
        QVERIFY(QTest::qWaitFor([&] { return OpenFiles(pid).contains(sim.SlavePath()); },
                                kRunTimeoutMs));
        ::kill(pid_t(pid), SIGTERM);
        sim.SetLineHeld(false);
    };
    QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run, options));

    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(ReceivedAfterExit(Framed("SRC2")), Framed("SRC2"));
    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first()[3], kInfo);
    QCOMPARE(records.first()[5], kSuccess);
}

void TestCmdLineRun::LineHeldBack_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::newRow("input") << QStringList{"/com03", "/rsx24p", "/in2"};
    // The port is closed right after this one, which throws away what is still queued.
    QTest::newRow("power off") << QStringList{"/com03", "/rsx24p", "/pwr0"};
}

void TestCmdLineRun::LineHeldBack() {
    QFETCH(QStringList, arguments);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    QVERIFY(sim.SetLineHeld(true));

    RunResult run;
    QVERIFY(Run(arguments, &run));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(OwnLines(run.standardError).size() == 1, run.standardError.constData());

    const QList<QStringList> records = LogRecords();
    QCOMPARE(records.size(), 1);
    QCOMPARE(records.first()[3], kError);
    QCOMPARE(records.first()[4], kRunProc);
    QCOMPARE(records.first()[5], QStringLiteral("（COM）コマンド送信失敗"));
    // Released, the line carries nothing: the frame went with the port.
    QVERIFY(sim.SetLineHeld(false));
    QTest::qWait(0);
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
}

void TestCmdLineRun::HostileLogFile() {
    QFETCH(QString, kind);
    QFETCH(int, exitCode);
    QFETCH(QString, reason);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    const QByteArray log = QFile::encodeName(LogPath());
    const QByteArray unterminated = "old\r\nlast";
    RunOptions options;
    if (kind == QLatin1String("fifo"))
        QCOMPARE(::mkfifo(log.constData(), 0644), 0);
    else if (kind == QLatin1String("directory"))
        QVERIFY(QDir().mkdir(LogPath()));
    else if (kind == QLatin1String("loop"))
        QCOMPARE(::symlink(log.constData(), log.constData()), 0);
    else if (kind == QLatin1String("unterminated") || kind == QLatin1String("limit")) {
        QFile file(LogPath());
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(kind == QLatin1String("limit") ? QByteArray(4096, 'x') + "\r\n" : unterminated);
    }
    if (kind == QLatin1String("limit"))
        options.shellWrap = {"sh", "-c", "ulimit -f 2; exec \"$0\" \"$@\""};

    RunResult run;
    QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run, options));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, exitCode);
    const QList<QByteArray> own = OwnLines(run.standardError);
    if (reason.isEmpty()) {
        QVERIFY2(own.isEmpty(), run.standardError.constData());
    } else {
        QVERIFY2(own.size() == 1, run.standardError.constData());
        QVERIFY2(own.first().contains(log), own.first().constData());
        QVERIFY2(own.first().contains(reason.toUtf8()), own.first().constData());
    }
    if (exitCode == 0) {
        QCOMPARE(ReceivedAfterExit(Framed("SRC2")), Framed("SRC2"));
    } else {
        QCoreApplication::processEvents();
        QCOMPARE(sim.RawReceived(), QByteArray());
    }
    if (kind == QLatin1String("unterminated")) {
        const QByteArray content = ReadWholeFile(LogPath());
        QVERIFY2(content.startsWith(unterminated + "\r\n") && content.endsWith("\r\n"),
                 content.constData());
        QCOMPARE(LogRecords().size(), 3);
        QCOMPARE(LogRecords().last()[5], kSuccess);
    }
}

void TestCmdLineRun::FullDiskLeavesTheLogWhole() {
    // A small file system of its own, with the program and its log, and no room left for
    // the log to grow when its lone LF ends become CR LF.
    QTemporaryDir mountPoint;
    const QByteArray at = QFile::encodeName(mountPoint.path());
    if (::mount("tmpfs", at.constData(), "tmpfs", 0, "size=16m") != 0)
        QSKIP("needs root to mount a small file system");
    const auto unmount = qScopeGuard([&] { ::umount2(at.constData(), MNT_DETACH); });
    StartSwitcher(VirtualSwitcher::Model::A);
    const QString program = mountPoint.filePath(QStringLiteral("InCycler"));
    QVERIFY(QFile::copy(m_program, program));
    QByteArray oldLog;
    for (int i = 0; i < 10001; ++i)
        oldLog += "2024/05/01,9:05:03.042,1,情報,TFormMain_Old," + QByteArray::number(i) + '\n';
    const QString logPath = mountPoint.filePath(QStringLiteral("InCycler.log"));
    {
        QFile log(logPath);
        QVERIFY(log.open(QIODevice::WriteOnly));
        QCOMPARE(log.write(oldLog), oldLog.size());
        // Fill what is left, then give back one page: room for a record, not for the trim.
        QFile filler(mountPoint.filePath(QStringLiteral("filler")));
        QVERIFY(filler.open(QIODevice::WriteOnly));
        const QByteArray block(65536, 'f');
        while (filler.write(block) > 0 && filler.flush()) {
        }
        filler.close();
        QVERIFY(filler.resize(filler.size() - 4096));
    }

    RunResult run;
    RunOptions options;
    options.program = program;
    QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run, options));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    QCOMPARE(ReceivedAfterExit(Framed("SRC2")), Framed("SRC2"));
    // Left as it was, and the run's record after it.
    const QByteArray content = ReadWholeFile(logPath);
    QVERIFY2(content.startsWith(oldLog), "the log was changed");
    QVERIFY(content.mid(oldLog.size()).contains(kSuccess.toUtf8()));
    const QList<QByteArray> own = OwnLines(run.standardError);
    QVERIFY2(own.size() == 1 && own.first().contains(qt_error_string(ENOSPC).toUtf8()),
             run.standardError.constData());
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
    QVERIFY2(m_standardOutput.contains(says), m_standardOutput.constData());
    QCOMPARE(run.standardError, QByteArray());
    QVERIFY(!QFileInfo::exists(LogPath())); // not even an empty log
}

void TestCmdLineRun::QuietInCronsEnvironment_data() {
    QTest::addColumn<bool>("xDisplay"); // an X display, but no session bus
    QTest::newRow("no display") << false;
    QTest::newRow("X display, no session bus") << true;
}

void TestCmdLineRun::QuietInCronsEnvironment() {
    QFETCH(bool, xDisplay);
    if (xDisplay && QStandardPaths::findExecutable(QStringLiteral("xvfb-run")).isEmpty())
        QSKIP("needs xvfb-run");
    StartSwitcher(VirtualSwitcher::Model::A);
    // As cron starts a job: hardly any environment, no runtime directory, no session bus.
    QTemporaryDir home;
    const QString cron = QStringLiteral("exec env -i PATH=/usr/bin:/bin HOME=%1 "
                                        "INCYCLER_PORT_DIR=%2 %3 \"$0\" \"$@\"")
                             .arg(home.path(), m_portDir.path(),
                                  xDisplay ? QStringLiteral("DISPLAY=\"$DISPLAY\" "
                                                            "XAUTHORITY=\"$XAUTHORITY\"")
                                           : QString());
    RunOptions options;
    options.shellWrap = {"sh", "-c", cron};
    if (xDisplay)
        options.shellWrap = QStringList{"xvfb-run", "-a"} + options.shellWrap;

    RunResult run;
    QVERIFY(Run({"/com03", "/rsx24p", "/in2"}, &run, options));
    QCOMPARE(run.exitCode, 0);
    // Nothing for cron to mail, and no bus started on the display's behalf and left behind.
    QCOMPARE(run.standardError, QByteArray());
    QCOMPARE(m_standardOutput, QByteArray());
    QVERIFY(!QFileInfo::exists(home.filePath(QStringLiteral(".dbus"))));
    QCOMPARE(ReceivedAfterExit(Framed("SRC2")), Framed("SRC2"));
}

void TestCmdLineRun::PermissionDeniedNamesTheGroup() {
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const group* dialout = ::getgrnam("dialout");
    if (::geteuid() != 0 || setpriv.isEmpty() || dialout == nullptr)
        QSKIP("needs root, setpriv and the group dialout");
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);
    // The device given to dialout, as Debian gives serial ports; nobody is not in it.
    const QByteArray device = QFileInfo(sim.LinkPath()).canonicalFilePath().toLocal8Bit();
    QCOMPARE(::chown(device.constData(), 0, dialout->gr_gid), 0);
    QCOMPARE(::chmod(device.constData(), 0660), 0);
    // A copy nobody may run and write its log beside, and a way to the link.
    QTemporaryDir exeDir;
    const QString program = exeDir.filePath(QStringLiteral("InCycler"));
    QVERIFY(QFile::copy(m_program, program));
    QCOMPARE(::chmod(QFile::encodeName(exeDir.path()).constData(), 0777), 0);
    QCOMPARE(::chmod(QFile::encodeName(m_portDir.path()).constData(), 0755), 0);

    RunResult run;
    RunOptions options;
    options.program = setpriv;
    QVERIFY(Run({"--reuid=nobody", "--regid=nogroup", "--clear-groups", program, "/com03",
                 "/rsx24p", "/in2"},
                &run, options));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(OwnLines(run.standardError),
             QList<QByteArray>{"InCycler: COM3 (" + device +
                               "): Permission denied; is the user in the group dialout?"});
    QCOMPARE(sim.RawReceived(), QByteArray());
}

QTEST_GUILESS_MAIN(TestCmdLineRun)
#include "tst_cmdline_run.moc"
