// The one-shot command line end to end: the built program, copied into a directory of its
// own (so that its log lies beside it), run without a display against a virtual switcher
// that lives in this process's event loop.

#include "TestSupport.h"
#include "sim/VirtualSwitcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSerialPort>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <grp.h>
#include <memory>
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
    void PermissionDeniedNamesTheGroup();

private:
    struct RunResult {
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        qint64 pid = 0;
        QByteArray standardError;
    };

    VirtualSwitcher& StartSwitcher(VirtualSwitcher::Model model, int comNumber = 3);
    // Runs the program to its end while this event loop keeps serving the switcher. The
    // port directory is the switcher's unless another is given.
    bool Run(const QStringList& arguments, RunResult* result, const QString& portDir = {},
             const QString& program = {});
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
    QFile::remove(m_exeDir.filePath(QStringLiteral("InCycler.log")));
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

bool TestCmdLineRun::Run(const QStringList& arguments, RunResult* result, const QString& portDir,
                         const QString& program) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No display, and not the offscreen platform ctest gives this test: the program must
    // find out by itself that it has no display.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), portDir.isEmpty() ? m_portDir.path() : portDir);
    process.setProcessEnvironment(env);
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(program.isEmpty() ? m_program : program, arguments);
    if (!process.waitForStarted(kRunTimeoutMs))
        return false;
    result->pid = process.processId();
    // Not waitForFinished: that would starve the switcher of its event loop.
    if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    result->exitCode = process.exitCode();
    result->exitStatus = process.exitStatus();
    result->standardError = process.readAllStandardError();
    return true;
}

QList<QStringList> TestCmdLineRun::LogRecords() const {
    QFile file(m_exeDir.filePath(QStringLiteral("InCycler.log")));
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
    QTest::addColumn<QString>("portDir"); // empty: the switcher's
    QTest::addColumn<QString>("line");    // on standard error; <ports> is the switcher's directory

    QTest::newRow("no such port") << QStringList{"/com07", "/rsx24p", "/in2"} << QString()
                                  << "InCycler: COM7 (<ports>/COM7): no such device";
    // Port 0 asks the operator to choose; with nobody to ask that counts as a cancel.
    QTest::newRow("port 0 without a display") << QStringList{"/com00", "/rsx24p", "/in2"}
                                              << QString() << "InCycler: No serial port was chosen";
    // A mistyped directory: nothing else is opened instead, although COM3 exists elsewhere.
    QTest::newRow("missing port directory")
        << QStringList{"/com03", "/rsx24p", "/in2"} << "/nonexistent/ports"
        << "InCycler: COM3: the port directory /nonexistent/ports (INCYCLER_PORT_DIR) is not a "
           "readable directory";
}

void TestCmdLineRun::PortThatCannotBeOpened() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, portDir);
    QFETCH(QString, line);
    VirtualSwitcher& sim = StartSwitcher(VirtualSwitcher::Model::A);

    RunResult run;
    QVERIFY(Run(arguments, &run, portDir));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(OwnLines(run.standardError),
             QList<QByteArray>{line.replace(QStringLiteral("<ports>"), m_portDir.path()).toUtf8()});

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
    QVERIFY(Run({"--reuid=nobody", "--regid=nogroup", "--clear-groups", program, "/com03",
                 "/rsx24p", "/in2"},
                &run, {}, setpriv));
    QCOMPARE(run.exitCode, 1);
    QCOMPARE(OwnLines(run.standardError),
             QList<QByteArray>{"InCycler: COM3 (" + device +
                               "): Permission denied; is the user in the group dialout?"});
    QCOMPARE(sim.RawReceived(), QByteArray());
}

QTEST_GUILESS_MAIN(TestCmdLineRun)
#include "tst_cmdline_run.moc"
