// A second InCycler, a real process in command-line mode, aimed at the port the first one
// (this process) holds open: it is refused, sends nothing, logs why and ends with a
// failure status, and the first one goes on using the port.

#include "ControlSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>

using namespace ControlSupport;

namespace {

// Generous: a loaded machine may take seconds to start a Qt program.
constexpr int kWaitMs = 60000;

} // namespace

class TestSecondInstance : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void refusedAndSendsNothing();

private:
    std::unique_ptr<AppRig> m_rig;
};

void TestSecondInstance::cleanup() {
    m_rig.reset();
}

void TestSecondInstance::refusedAndSendsNothing() {
    // A copy of its own, so that the second program's log lies in a directory of the test's.
    QTemporaryDir exeDir;
    QVERIFY(exeDir.isValid());
    const QString program = exeDir.filePath(QStringLiteral("InCycler"));
    QVERIFY2(QFile::copy(QStringLiteral(INCYCLER_BINARY), program), INCYCLER_BINARY);

    m_rig = std::make_unique<AppRig>();
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    sw.ClearRawReceived();
    sw.ClearFrames();

    QProcess second;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), m_rig->PortDir());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    second.setProcessEnvironment(env);
    QSignalSpy finished(&second, &QProcess::finished);
    second.start(program, {"/com03", "/rsx24p", "/in2"});
    QVERIFY(second.waitForStarted(kWaitMs));
    const qint64 pid = second.processId();
    // Not waitForFinished: this event loop serves the switcher meanwhile.
    QTRY_VERIFY_WITH_TIMEOUT(!finished.isEmpty(), kWaitMs);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 1);
    // It says why: this process holds the port.
    const QByteArray standardError = second.readAllStandardError();
    const QList<QByteArray> lines = OwnLines(standardError);
    QVERIFY2(lines.size() == 1, standardError.constData());
    const QString device = QFileInfo(sw.LinkPath()).canonicalFilePath();
    QVERIFY2(lines.first().startsWith(QStringLiteral("InCycler: COM3 (%1): in use by process %2 (")
                                          .arg(device)
                                          .arg(QCoreApplication::applicationPid())
                                          .toUtf8()),
             lines.first().constData());

    const QString log = QString::fromUtf8(ReadWholeFile(exeDir.filePath("InCycler.log")));
    const QStringList records = log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(records.size(), 1);
    const QStringList fields = records.first().split(',');
    QCOMPARE(fields.size(), 6);
    QCOMPARE(fields[2], QString::number(pid));
    QCOMPARE(fields[3], QStringLiteral("エラー"));
    QCOMPARE(fields[4], QStringLiteral("TFormMain_StartupProcess_ForCmdLineParams"));
    QCOMPARE(fields[5], QStringLiteral("（COM）COMポートOPEN失敗"));

    // The first still holds the port and switches. The line keeps its order, so anything
    // the second had written would have reached the switcher ahead of these frames.
    QVERIFY(m_rig->Module()->Connected());
    QVERIFY(Refreshed(form) && form->btn_Source_02->isEnabled());
    QTest::mouseClick(form->btn_Source_02, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(form->Model()->SelectedSourceNum() == 2, kWaitMs);
    QCOMPARE(sw.RawReceived(), QByteArray("\x1bSRC2\r\x1bGET\r"));
    QVERIFY(m_rig->LogLines().isEmpty());
    QVERIFY2(ShownBoxes().isEmpty(), qPrintable(BoxLines().join('\n')));
}

INCYCLER_APP_TEST_MAIN(TestSecondInstance)
#include "tst_drill_secondinstance.moc"
