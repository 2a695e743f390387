// The process as a whole: the built program, copied into a directory of its own (its log
// lies beside it), against a virtual switcher that lives in this test's event loop.

#include "TestSupport.h"
#include "sim/VirtualSwitcher.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLibraryInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace {

// Generous: a loaded machine may take seconds to start a Qt program.
constexpr int kTimeoutMs = 60000;

} // namespace

class TestProcess : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void sigtermEndsANormalStart();
    void sigtermWithThePortOpenEndsInOrder();
    void normalStartWithoutADisplay_data();
    void normalStartWithoutADisplay();

private:
    QString CopyProgram(const QString& from, const QString& name);
    QProcessEnvironment Environment() const;
    // Waits for the end of the process while this loop keeps serving the switcher.
    bool WaitFinished(QProcess& process, QSignalSpy& finished);

    QTemporaryDir m_exeDir;
    QTemporaryDir m_portDir;
    QString m_program;
    QString m_scripted;
    std::unique_ptr<VirtualSwitcher> m_switcher;
};

QString TestProcess::CopyProgram(const QString& from, const QString& name) {
    // A copy, not a link: the log goes beside the executable with links resolved.
    const QString to = m_exeDir.filePath(name);
    if (!QFile::copy(from, to))
        qFatal("cannot copy %s", qPrintable(from));
    return to;
}

void TestProcess::initTestCase() {
    QVERIFY(m_exeDir.isValid());
    QVERIFY(m_portDir.isValid());
    m_program = CopyProgram(QStringLiteral(INCYCLER_BINARY), QStringLiteral("InCycler"));
    m_scripted =
        CopyProgram(QStringLiteral(SCRIPTED_OPERATOR_BINARY), QStringLiteral("scripted_operator"));
    QVERIFY(QFileInfo(m_program).isExecutable());
    QVERIFY(QFileInfo(m_scripted).isExecutable());
}

void TestProcess::init() {
    QFile::remove(m_exeDir.filePath(QStringLiteral("InCycler.log")));
    VirtualSwitcher::Options options;
    options.comNumber = 3;
    options.portDir = m_portDir.path();
    m_switcher = std::make_unique<VirtualSwitcher>(options);
    QVERIFY(m_switcher->Start());
}

void TestProcess::cleanup() {
    m_switcher.reset();
}

QProcessEnvironment TestProcess::Environment() const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), m_portDir.path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    return env;
}

bool TestProcess::WaitFinished(QProcess& process, QSignalSpy& finished) {
    // Not waitForFinished: that would starve the switcher of its event loop.
    if (QTest::qWaitFor([&] { return !finished.isEmpty(); }, kTimeoutMs))
        return true;
    process.kill();
    process.waitForFinished();
    return false;
}

void TestProcess::sigtermEndsANormalStart() {
    QProcess process;
    process.setProcessEnvironment(Environment());
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(m_program, {});
    QVERIFY(process.waitForStarted(kTimeoutMs));
    // The log exists once the window has been created, and the signal is handled from then.
    const QString log = m_exeDir.filePath(QStringLiteral("InCycler.log"));
    QVERIFY(QTest::qWaitFor([&] { return QFileInfo::exists(log); }, kTimeoutMs));
    QCOMPARE(process.state(), QProcess::Running);

    process.terminate(); // SIGTERM
    QVERIFY(WaitFinished(process, finished));
    // Ended through its exit path, not by the signal.
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    const QByteArray standardError = process.readAllStandardError();
    QVERIFY2(OwnLines(standardError).isEmpty(), standardError.constData());
    QCoreApplication::processEvents();
    QCOMPARE(m_switcher->RawReceived(), QByteArray());
    QCOMPARE(QFileInfo(log).size(), 0); // nothing to record
}

void TestProcess::sigtermWithThePortOpenEndsInOrder() {
    QProcess process;
    process.setProcessEnvironment(Environment());
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(m_scripted, {});
    QVERIFY(process.waitForStarted(kTimeoutMs));
    QByteArray out;
    QVERIFY(QTest::qWaitFor(
        [&] {
            out += process.readAllStandardOutput();
            return out.contains("ready\n") || !finished.isEmpty();
        },
        kTimeoutMs));
    QVERIFY2(out.contains("ready\n"), process.readAllStandardError().constData());
    // The opening asked for the power state and the input; nothing else is on its way.
    QCOMPARE(m_switcher->Frames(), (QList<QByteArray>{"PWR?", "GET"}));
    m_switcher->ClearRawReceived();

    process.terminate();
    QVERIFY(WaitFinished(process, finished));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 0);
    out += process.readAllStandardOutput();
    QCOMPARE(out, QByteArray("ready\n"
                             "module gone, window marked\n"
                             "window gone, device free\n"));
    QCoreApplication::processEvents();
    QCOMPARE(m_switcher->RawReceived(), QByteArray());
}

void TestProcess::normalStartWithoutADisplay_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("display");        // empty: unset
    QTest::addColumn<QString>("waylandDisplay"); // empty: unset

    QTest::newRow("nothing set") << QStringList{} << QString() << QString();
    QTest::newRow("unreachable X display") << QStringList{} << ":987" << QString();
    QTest::newRow("unreachable Wayland display") << QStringList{} << QString() << "no-such-wl-0";
    // One or two arguments are no command line: a normal start.
    QTest::newRow("two arguments") << QStringList{"/com03", "/rsx24p"} << QString() << QString();
}

void TestProcess::normalStartWithoutADisplay() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, display);
    QFETCH(QString, waylandDisplay);
    QProcessEnvironment env = Environment();
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    if (!display.isEmpty())
        env.insert(QStringLiteral("DISPLAY"), display);
    if (!waylandDisplay.isEmpty())
        env.insert(QStringLiteral("WAYLAND_DISPLAY"), waylandDisplay);

    QProcess process;
    process.setProcessEnvironment(env);
    QSignalSpy finished(&process, &QProcess::finished);
    process.start(m_program, arguments);
    QVERIFY(process.waitForStarted(kTimeoutMs));
    QVERIFY(WaitFinished(process, finished));
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QCOMPARE(process.exitCode(), 2);
    const QByteArray standardError = process.readAllStandardError();
    const QList<QByteArray> own = OwnLines(standardError);
    QVERIFY2(own.size() == 1, standardError.constData());
    // Wayland asked for, and Qt without its plugin: the missing package is the reason.
    const bool noWaylandPlugin =
        !waylandDisplay.isEmpty() && display.isEmpty() &&
        QDir(QLibraryInfo::path(QLibraryInfo::PluginsPath) + QStringLiteral("/platforms"))
            .entryList({QStringLiteral("libqwayland*.so")})
            .isEmpty();
    const QByteArray reason = noWaylandPlugin ? "qt6-wayland" : "display";
    QVERIFY2(own.first().contains(reason), own.first().constData());
    QCOMPARE(process.readAllStandardOutput(), QByteArray());
    QCoreApplication::processEvents();
    QCOMPARE(m_switcher->RawReceived(), QByteArray());
}

QTEST_GUILESS_MAIN(TestProcess)
#include "tst_process.moc"
