#include "AppRig.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/form_Main.h"

#include <QProcess>
#include <QTest>

// The virtual switcher as a user runs it, a separate process, and the program's own
// serial path against it.
class TestSimProcessRoundTrip : public QObject {
    Q_OBJECT
private slots:
    void getReachesTheModel() {
        AppRig::Options options;
        options.startSwitcher = false;
        options.show = false;
        AppRig rig(options);

        QProcess sim;
        sim.setProcessChannelMode(QProcess::SeparateChannels);
        sim.start(QStringLiteral(INCYCLER_SIM_BINARY),
                  {QStringLiteral("--model"), QStringLiteral("A"), QStringLiteral("--com"),
                   QStringLiteral("3"), QStringLiteral("--port-dir"), rig.PortDir()});
        QVERIFY(sim.waitForStarted());
        QByteArray ready;
        QTRY_VERIFY_WITH_TIMEOUT((ready += sim.readAllStandardError()).contains("COM3"), 10000);

        QVERIFY(rig.Module()->OpenComPort(3));
        QVERIFY(rig.Module()->SendCmd("GET"));
        // The switcher starts on input 1.
        QTRY_COMPARE_WITH_TIMEOUT(rig.Form()->Model()->SelectedSourceNum(), 1, 10000);
        QVERIFY(rig.Module()->SendCmd("SRC3"));
        QVERIFY(rig.Module()->SendCmd("GET"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.Form()->Model()->SelectedSourceNum(), 3, 10000);

        sim.write("quit\n");
        QVERIFY(sim.waitForFinished(10000));
        QCOMPARE(sim.exitCode(), 0);
    }
};

INCYCLER_APP_TEST_MAIN(TestSimProcessRoundTrip)
#include "tst_SimProcessRoundTrip.moc"
