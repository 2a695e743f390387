#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>
#include <QTest>

#include <csignal>
#include <memory>

namespace {

// incycler-sim as a child process, with what it prints collected as it comes.
class SimProcess : public QObject {
public:
    explicit SimProcess(const QStringList& args, bool withPortDirEnv = false,
                        const QString& portDir = {}) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.remove(QStringLiteral("INCYCLER_PORT_DIR"));
        if (withPortDirEnv)
            env.insert(QStringLiteral("INCYCLER_PORT_DIR"), portDir);
        process.setProcessEnvironment(env);
        connect(&process, &QProcess::readyReadStandardOutput, this,
                [this] { out += process.readAllStandardOutput(); });
        connect(&process, &QProcess::readyReadStandardError, this,
                [this] { err += process.readAllStandardError(); });
        process.start(QStringLiteral(INCYCLER_SIM_PATH), args);
    }
    ~SimProcess() override {
        if (process.state() != QProcess::NotRunning) {
            process.kill();
            process.waitForFinished();
        }
    }
    bool Finish() {
        return QTest::qWaitFor([this] { return process.state() == QProcess::NotRunning; }, 10000);
    }

    QProcess process;
    QByteArray out;
    QByteArray err;
};

class Peer : public QObject {
public:
    explicit Peer(const QString& path) {
        port.setPortName(path);
        connect(&port, &QSerialPort::readyRead, this, [this] { received += port.readAll(); });
    }
    QSerialPort port;
    QByteArray received;
};

const QRegularExpression
    kReady(QStringLiteral("^incycler-sim: model ([AB]) as COM(\\d+) -> (/dev/pts/\\d+)\\n"));

} // namespace

class TestIncyclerSimProgram : public QObject {
    Q_OBJECT

private slots:
    void servesTheLineAndObeysControlLines() {
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        SimProcess sim({"--model", "B", "--com", "7", "--port-dir", dir.path(), "--trace"});
        QTRY_VERIFY_WITH_TIMEOUT(sim.err.contains('\n'), 10000);
        const QRegularExpressionMatch ready = kReady.match(QString::fromLocal8Bit(sim.err));
        QVERIFY2(ready.hasMatch(), sim.err.constData());
        QCOMPARE(ready.captured(1), QString("B"));
        QCOMPARE(ready.captured(2), QString("7"));
        const QString link = dir.filePath("COM7");
        QCOMPARE(QFileInfo(link).symLinkTarget(), ready.captured(3));

        Peer peer(link);
        QVERIFY2(peer.port.open(QIODevice::ReadWrite), qPrintable(peer.port.errorString()));
        peer.port.write("\x1bX24Q3\r\x1bX24QG\r");
        QTRY_COMPARE(peer.received, QByteArray("\x1bX24Qg3\r"));

        // Each received frame is traced as "<ms.mmm> <escaped text>".
        QTRY_COMPARE(sim.out.count('\n'), 2);
        const QList<QByteArray> lines = sim.out.trimmed().split('\n');
        const QRegularExpression traced(QStringLiteral("^\\d+\\.\\d{3} (.*)$"));
        QCOMPARE(traced.match(QString::fromLatin1(lines[0])).captured(1), QString("X24Q3"));
        QCOMPARE(traced.match(QString::fromLatin1(lines[1])).captured(1), QString("X24QG"));
        sim.out.clear();

        sim.process.write("state\n");
        QTRY_COMPARE(sim.out, QByteArray("power off input 3\n"));

        peer.received.clear();
        sim.process.write("inject \\x1bpwr1\\r\\0\\\\\n");
        QTRY_COMPARE(peer.received, QByteArray("\x1bpwr1\r\0\\", 8));

        peer.received.clear();
        sim.process.write("noise 64\n");
        QTRY_COMPARE(peer.received.size(), 64);
        QVERIFY(peer.received.contains('\x1b'));
        QVERIFY(peer.received.contains('\r'));
        QVERIFY(peer.received.contains('\0'));

        // Muted: the query is traced but unanswered; unmuted and delayed, answered.
        sim.out.clear();
        peer.received.clear();
        // "state" answers only after the lines before it took effect.
        sim.process.write("mute on\ndelay 100\nstate\n");
        QTRY_VERIFY(sim.out.endsWith("input 3\n"));
        peer.port.write("\x1bX24QG\r");
        QTRY_VERIFY(sim.out.endsWith(" X24QG\n"));
        sim.process.write("mute off\nstate\n");
        QTRY_VERIFY(sim.out.endsWith("input 3\n"));
        peer.port.write("\x1bX24Q1\r\x1bX24QG\r");
        QTRY_COMPARE(peer.received, QByteArray("\x1bX24Qg1\r"));

        sim.err.clear();
        sim.process.write("bogus\n");
        QTRY_VERIFY(sim.err.contains("unknown control line 'bogus'"));

        sim.process.write("quit\n");
        QVERIFY(sim.Finish());
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void injectsOnStartAndExitsCleanlyOnSignal_data() {
        QTest::addColumn<bool>("interrupt");
        QTest::newRow("SIGTERM") << false;
        QTest::newRow("SIGINT") << true;
    }

    void injectsOnStartAndExitsCleanlyOnSignal() {
        QFETCH(bool, interrupt);
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        // The port directory comes from the environment; stdin stays open and unused.
        SimProcess sim({"--inject", "\\x1bget2\\r", "--inject", "\\0x"}, true, dir.path());
        QTRY_VERIFY_WITH_TIMEOUT(sim.err.contains('\n'), 10000);
        QVERIFY2(kReady.match(QString::fromLocal8Bit(sim.err)).hasMatch(), sim.err.constData());
        const QString link = dir.filePath("COM1");
        QVERIFY(QFileInfo(link).isSymLink());

        Peer peer(link);
        QVERIFY(peer.port.open(QIODevice::ReadWrite));
        // Injected before anyone opened the port: the bytes wait on the line.
        QTRY_COMPARE(peer.received, QByteArray("\x1bget2\r\0x", 8));
        peer.received.clear();
        peer.port.write("\x1bPWR1\r\x1bPWR?\r");
        QTRY_COMPARE(peer.received, QByteArray("\x1bpwr1\r"));

        if (interrupt)
            ::kill(pid_t(sim.process.processId()), SIGINT);
        else
            sim.process.terminate();
        QVERIFY(sim.Finish());
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 0);
        QVERIFY(!QFileInfo(link).isSymLink());
    }

    void rejectsBadUsage_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("message");
        QTest::newRow("no port dir") << QStringList{} << QByteArray("INCYCLER_PORT_DIR");
        QTest::newRow("model") << QStringList{"--port-dir", "/tmp", "--model", "C"}
                               << QByteArray("--model");
        QTest::newRow("com") << QStringList{"--port-dir", "/tmp", "--com", "0"}
                             << QByteArray("--com");
        QTest::newRow("delay") << QStringList{"--port-dir", "/tmp", "--reply-delay", "-3"}
                               << QByteArray("--reply-delay");
        QTest::newRow("inject") << QStringList{"--port-dir", "/tmp", "--inject", "\\x"}
                                << QByteArray("--inject");
    }

    void printsItsVersion() {
        SimProcess sim({"--version"});
        QVERIFY(sim.Finish());
        QCOMPARE(sim.process.exitCode(), 0);
        QCOMPARE(sim.out, QByteArray("incycler-sim 1.0.0\n"));
    }

    void rejectsBadUsage() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, message);
        SimProcess sim(args);
        QVERIFY(sim.Finish());
        QCOMPARE(sim.process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(sim.process.exitCode(), 2);
        QVERIFY2(sim.err.contains(message), sim.err.constData());
    }
};

QTEST_GUILESS_MAIN(TestIncyclerSimProgram)
#include "tst_IncyclerSimProgram.moc"
