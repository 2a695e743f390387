// The InCycler that holds a port serves the others: the built program's one-shot commands and
// --status, against this process's window or against a --rotate run of the program.

#include "ControlSupport.h"
#include "OneShotProgram.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QStandardPaths>

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace ControlSupport;

class TestServed : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void ServedByTheOwner_data();
    void ServedByTheOwner();
    void StrangerIsRefused();

private:
    std::unique_ptr<AppRig> m_rig;
    TOneShotProgram m_program{QStringLiteral(INCYCLER_BINARY)};
};

void TestServed::init() {
    m_rig = std::make_unique<AppRig>();
}

void TestServed::cleanup() {
    m_rig.reset();
}

void TestServed::ServedByTheOwner_data() {
    QTest::addColumn<bool>("rotateOwner"); // a --rotate run of the program; else the window
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("frames"); // what reaches the switcher: command and poll
    QTest::addColumn<QByteArray>("says");       // in the run's standard error or output

    QTest::newRow("window, input") << false << QStringList{"/com03", "/rsx24p", "/in3"} << 0
                                   << QByteArrayList{"SRC3", "GET"} << QByteArray();
    QTest::newRow("window, power off") << false << QStringList{"/com03", "/rsx24p", "/pwr0"} << 0
                                       << QByteArrayList{"PWR0", "PWR?"} << QByteArray();
    QTest::newRow("rotation, input") << true << QStringList{"/com03", "/rsx24p", "/in2"} << 0
                                     << QByteArrayList{"SRC2", "GET"} << QByteArray();
    QTest::newRow("model mismatch") << false << QStringList{"/com03", "/rsx24q", "/in3"} << 1
                                    << QByteArrayList{} << QByteArray("drives an RSX-24P");
    QTest::newRow("window, status") << false << QStringList{"--status", "COM3"} << 0
                                    << QByteArrayList{} << QByteArray("\"rotation\":\"stopped\"");
    QTest::newRow("rotation, status")
        << true << QStringList{"--status=/com03"} << 0 << QByteArrayList{}
        << QByteArray("\"inputs\":[1,3],\"interval_ms\":7200000,\"mode\":\"all-day\"");
}

void TestServed::ServedByTheOwner() {
    QFETCH(bool, rotateOwner);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, frames);
    QFETCH(QByteArray, says);
    VirtualSwitcher& sw = m_rig->Switcher();
    TOneShotProgram ownerCopy(QStringLiteral(INCYCLER_BINARY));
    QProcess owner;
    const auto stopOwner = qScopeGuard([&] {
        owner.kill();
        owner.waitForFinished();
    });
    qint64 ownerPid = QCoreApplication::applicationPid();
    if (rotateOwner) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("INCYCLER_PORT_DIR"), m_rig->PortDir());
        owner.setProcessEnvironment(env);
        owner.start(ownerCopy.Path(), {"--rotate", "--port", "com03", "--model", "rsx24p",
                                       "--inputs", "1,3", "--every", "120min"});
        QVERIFY(owner.waitForStarted());
        ownerPid = owner.processId();
        // Started and settled: the input's poll and the power's, 650 ms after the power-on.
        QVERIFY(QTest::qWaitFor(
            [&] { return FramesWith(sw, "GET").size() == 1 && FramesWith(sw, "PWR?").size() == 2; },
            60000));
    } else {
        QVERIFY(OpenAndSettle(*m_rig));
    }
    sw.ClearFrames();

    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    TOneShotProgram::Result run;
    QVERIFY(m_program.Run(arguments, options, &run));
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((run.standardError + run.standardOutput).contains(says),
             run.standardError.constData());
    // The command on the owner's line, and the poll that lets the owner follow the device.
    QVERIFY(QTest::qWaitFor([&] { return sw.Frames().size() >= frames.size(); }, 5000));
    QCOMPARE(sw.Frames(), frames);
    if (!rotateOwner && frames.value(0) == "SRC3")
        QTRY_COMPARE(m_rig->Form()->Model()->SelectedSourceNum(), 3);
    if (arguments.first().startsWith(QLatin1String("--status"))) {
        const QJsonObject state = QJsonDocument::fromJson(run.standardOutput).object();
        QCOMPARE(state.value("pid").toInteger(), ownerPid);
        QCOMPARE(state.value("port").toString(), QStringLiteral("COM3"));
        QCOMPARE(state.value("device").toString(), sw.SlavePath());
    } else {
        // The run's own record, as if it had sent the command itself.
        const QStringList record =
            QString::fromUtf8(ReadWholeFile(m_program.LogPath())).trimmed().split(QLatin1Char(','));
        QCOMPARE(record.value(2), QString::number(run.pid));
        QCOMPARE(record.value(5), exitCode == 0 ? QStringLiteral("（引数）引数実行成功")
                                                : QStringLiteral("（COM）コマンド送信失敗"));
        QFile::remove(m_program.LogPath());
    }
}

void TestServed::StrangerIsRefused() {
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    if (::geteuid() != 0 || setpriv.isEmpty())
        QSKIP("needs root and setpriv");
    QVERIFY(OpenAndSettle(*m_rig));
    m_rig->Switcher().ClearFrames();
    // Nobody, in no group, may reach the program and the port's link, not the device.
    for (const QString& dir : {QFileInfo(m_program.Path()).path(), m_rig->PortDir()})
        QCOMPARE(::chmod(QFile::encodeName(dir).constData(), 0777), 0);
    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    options.wrap = {setpriv, "--reuid=nobody", "--regid=nogroup", "--clear-groups"};
    for (const QStringList& arguments :
         {QStringList{"/com03", "/rsx24p", "/in3"}, QStringList{"--status", "com03"}}) {
        TOneShotProgram::Result run;
        QVERIFY(m_program.Run(arguments, options, &run));
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.standardError.contains("refused: nobody is neither root"),
                 run.standardError.constData());
        QCOMPARE(run.standardOutput, QByteArray());
    }
    QCoreApplication::processEvents();
    QCOMPARE(m_rig->Switcher().Frames(), QByteArrayList{});
}

INCYCLER_APP_TEST_MAIN(TestServed)
#include "tst_served.moc"
