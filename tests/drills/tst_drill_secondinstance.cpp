// A second InCycler, a real process starting a rotation of its own, aimed at the port the
// first one (this process) holds open: it is refused, sends nothing, says and logs why once,
// and ends normally when stopped, and the first one goes on using the port. (A one-shot
// command is not refused: the first one sends it.)

#include "ControlSupport.h"
#include "OneShotProgram.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <csignal>

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
    const TOneShotProgram second(QStringLiteral(INCYCLER_BINARY));
    QVERIFY2(second.Valid(), INCYCLER_BINARY);

    m_rig = std::make_unique<AppRig>();
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    sw.ClearRawReceived();
    sw.ClearFrames();

    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    // Stopped once it has recorded that it cannot have the port, and waits for it.
    options.during = [&](QProcess& process) {
        QVERIFY(QTest::qWaitFor([&] { return QFileInfo(second.LogPath()).size() > 0; }, kWaitMs));
        ::kill(pid_t(process.processId()), SIGTERM);
    };
    TOneShotProgram::Result run;
    QVERIFY(second.Run(
        {"--rotate", "--port", "com03", "--model", "rsx24p", "--inputs", "1,2", "--every", "5s"},
        options, &run));
    QCOMPARE(run.exitStatus, QProcess::NormalExit);
    QCOMPARE(run.exitCode, 0);
    // It says why: this process holds the port.
    const QList<QByteArray> lines = OwnLines(run.standardError);
    QVERIFY2(lines.size() == 1, run.standardError.constData());
    const QString device = QFileInfo(sw.LinkPath()).canonicalFilePath();
    QVERIFY2(lines.first().startsWith(QStringLiteral("InCycler: COM3 (%1): in use by process %2 (")
                                          .arg(device)
                                          .arg(QCoreApplication::applicationPid())
                                          .toUtf8()),
             lines.first().constData());

    const QString log = QString::fromUtf8(ReadWholeFile(second.LogPath()));
    const QStringList records = log.split(QStringLiteral("\r\n"), Qt::SkipEmptyParts);
    QCOMPARE(records.size(), 1);
    const QStringList fields = records.first().split(',');
    QCOMPARE(fields.size(), 6);
    QCOMPARE(fields[2], QString::number(run.pid));
    QCOMPARE(fields[3], QStringLiteral("エラー"));
    QCOMPARE(fields[4], QStringLiteral("TFormMain_StartupProcess_ForRotateParams"));
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
