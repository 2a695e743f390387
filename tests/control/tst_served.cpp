// The InCycler that holds a port serves the others: the built program's one-shot commands and
// --status, against this process's window or against a --rotate run of the program.

#include "ControlSupport.h"
#include "OneShotProgram.h"
#include "control/ControlSocket.h"
#include "device/SerialDevice.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Something other than InCycler listening at the port's socket: it answers each connection
// with one line. Listened as another user when uid is given, as a stranger's socket whose
// recorded pid has gone to the real holder would look.
class TForeignListener {
public:
    TForeignListener(const QString& path, int uid, const QByteArray& reply) : m_reply(reply) {
        sockaddr_un address;
        ::unlink(QFile::encodeName(path).constData());
        m_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (!ControlSocket::AddressFor(path, &address) ||
            ::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::chmod(QFile::encodeName(path).constData(), 0666) != 0)
            return;
        if (uid >= 0 && ::seteuid(uid_t(uid)) != 0)
            return;
        m_listening = ::listen(m_fd, 8) == 0;
        if (uid >= 0 && ::seteuid(0) != 0)
            qFatal("cannot become root again");
        m_notifier = std::make_unique<QSocketNotifier>(m_fd, QSocketNotifier::Read);
        QObject::connect(m_notifier.get(), &QSocketNotifier::activated, [this] {
            const int client = ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0 &&
                ::send(client, m_reply.constData(), size_t(m_reply.size()), MSG_NOSIGNAL) >= 0)
                ::shutdown(client, SHUT_WR);
            ::close(client);
        });
    }
    ~TForeignListener() { ::close(m_fd); }
    bool Listening() const { return m_listening; }

private:
    int m_fd = -1;
    bool m_listening = false;
    QByteArray m_reply;
    std::unique_ptr<QSocketNotifier> m_notifier;
};

bool NeedsRoot() {
    return ::geteuid() != 0 || QStandardPaths::findExecutable(QStringLiteral("setpriv")).isEmpty();
}

} // namespace

using namespace ControlSupport;

class TestServed : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();
    void ServedByTheOwner_data();
    void ServedByTheOwner();
    void StrangerIsRefused_data();
    void StrangerIsRefused();
    void OnlyTheHolderIsBelieved_data();
    void OnlyTheHolderIsBelieved();

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
    // A file left at the socket's path (a killed owner's, as another operator) is replaced.
    QTest::addColumn<bool>("leftover");

    QTest::newRow("window, input") << false << QStringList{"/com03", "/rsx24p", "/in3"} << 0
                                   << QByteArrayList{"SRC3", "GET"} << QByteArray() << false;
    QTest::newRow("window, power off") << false << QStringList{"/com03", "/rsx24p", "/pwr0"} << 0
                                       << QByteArrayList{"PWR0", "PWR?"} << QByteArray() << false;
    QTest::newRow("rotation, input") << true << QStringList{"/com03", "/rsx24p", "/in2"} << 0
                                     << QByteArrayList{"SRC2", "GET"} << QByteArray() << false;
    QTest::newRow("model mismatch") << false << QStringList{"/com03", "/rsx24q", "/in3"} << 1
                                    << QByteArrayList{} << QByteArray("drives an RSX-24P") << false;
    QTest::newRow("window, status")
        << false << QStringList{"--status", "COM3"} << 0 << QByteArrayList{}
        << QByteArray("\"rotation\":\"stopped\"") << false;
    QTest::newRow("rotation, status")
        << true << QStringList{"--status=/com03"} << 0 << QByteArrayList{}
        << QByteArray("\"inputs\":[1,3],\"interval_ms\":7200000,\"mode\":\"all-day\"") << false;
    QTest::newRow("window, input, over a leftover")
        << false << QStringList{"/com03", "/rsx24p", "/in3"} << 0 << QByteArrayList{"SRC3", "GET"}
        << QByteArray() << true;
}

void TestServed::ServedByTheOwner() {
    QFETCH(bool, rotateOwner);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, frames);
    QFETCH(QByteArray, says);
    QFETCH(bool, leftover);
    VirtualSwitcher& sw = m_rig->Switcher();
    if (leftover) {
        QString problem;
        const QString path = ControlSocket::PathFor(sw.SlavePath(), true, &problem);
        ::unlink(QFile::encodeName(path).constData());
        QFile placeholder(path);
        QVERIFY2(placeholder.open(QIODevice::WriteOnly), qPrintable(path + problem));
        if (::geteuid() == 0)
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }
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

void TestServed::StrangerIsRefused_data() {
    QTest::addColumn<QString>("groups"); // setpriv's; none: --clear-groups
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("says");
    // Kept out by the directory and the socket's mode: the one-shot's own failure stands.
    QTest::newRow("stranger, one-shot")
        << "" << QStringList{"/com03", "/rsx24p", "/in3"} << QByteArray("): in use by process");
    QTest::newRow("stranger, status")
        << "" << QStringList{"--status", "com03"}
        << QByteArray("admits only its owner's user, root and the group dialout");
    // In the sockets' group, not in the port's: the owner refuses, and says why.
    for (const char* command : {"one-shot", "status"})
        QTest::addRow("member of the sockets' group only, %s", command)
            << "dialout"
            << (command == QByteArray("status") ? QStringList{"--status", "com03"}
                                                : QStringList{"/com03", "/rsx24p", "/in3"})
            << QByteArray("refused: uid 65534 is neither root");
}

void TestServed::StrangerIsRefused() {
    QFETCH(QString, groups);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, says);
    const group* dialout = ::getgrnam("dialout");
    if (NeedsRoot() || dialout == nullptr)
        QSKIP("needs root, setpriv and the group dialout");
    // The sockets' directory as the package makes it.
    QTemporaryDir runDir;
    const QByteArray runPath = QFile::encodeName(runDir.path());
    QCOMPARE(::chown(runPath.constData(), 0, dialout->gr_gid), 0);
    QCOMPARE(::chmod(runPath.constData(), 02770), 0);
    const ScopedEnv runEnv("INCYCLER_RUN_DIR", runPath);
    QVERIFY(OpenAndSettle(*m_rig));
    m_rig->Switcher().ClearFrames();
    // Nobody, in no group, may reach the program and the port's link, not the device.
    QCOMPARE(::chmod(QFile::encodeName(QFileInfo(m_program.Path()).path()).constData(), 0777), 0);
    QCOMPARE(::chmod(QFile::encodeName(m_rig->PortDir()).constData(), 0755), 0);
    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    options.wrap = {QStandardPaths::findExecutable(QStringLiteral("setpriv")), "--reuid=65534",
                    "--regid=65534",
                    groups.isEmpty() ? QStringLiteral("--clear-groups") : "--groups=" + groups};
    TOneShotProgram::Result run;
    QVERIFY(m_program.Run(arguments, options, &run));
    QCOMPARE(run.exitCode, 1);
    QVERIFY2(run.standardError.contains(says), run.standardError.constData());
    QCOMPARE(run.standardOutput, QByteArray());
    QCoreApplication::processEvents();
    QCOMPARE(m_rig->Switcher().Frames(), QByteArrayList{});
}

void TestServed::OnlyTheHolderIsBelieved_data() {
    QTest::addColumn<int>("listenerUid"); // -1: this process's own
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("says");    // in standard error or output
    QTest::addColumn<QByteArray>("saysNot"); // in neither

    const QByteArray state = R"({"ok":true,"state":{"pid":1,"port":"\u009b2J\u001b]0;x\u0007",)"
                             R"("rotation":"running\u202e","inputs":["\u0085"]}})"
                             "\n";
    const QStringList status{"--status", "com03"};
    const QStringList oneShot{"/com03", "/rsx24p", "/in3"};
    // The holder's pid, but not its user: the stranger's socket outlived its listener.
    QTest::newRow("listener of another user, status")
        << 65534 << state << status << 1
        << QByteArray("is not served by the process that holds the port") << QByteArray("running");
    QTest::newRow("listener of another user, one-shot")
        << 65534
        << QByteArray(R"({"ok":true})"
                      "\n")
        << oneShot << 1 << QByteArray("in use by process") << QByteArray("引数実行成功");
    // Believed, and still nothing of what it says may steer the terminal.
    QTest::newRow("control characters in the owner's message")
        << -1
        << QByteArray(R"({"ok":false,"error":"not-sent","message":"\u001b[2J\u009b1m\u202eevil"})"
                      "\n")
        << oneShot << 1 << QByteArray("\xef\xbf\xbd[2J\xef\xbf\xbd" "1m\xef\xbf\xbd" "evil")
        << QByteArray("\x1b");
    QTest::newRow("control characters in the state")
        << -1 << state << status << 0 << QByteArray("\xef\xbf\xbd" "2J") << QByteArray("\xc2\x9b");
}

void TestServed::OnlyTheHolderIsBelieved() {
    QFETCH(int, listenerUid);
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, says);
    QFETCH(QByteArray, saysNot);
    if (listenerUid >= 0 && NeedsRoot())
        QSKIP("needs root to listen as another user");
    // This process holds the port, as an owner would, and something else answers for it.
    const QString device = m_rig->Switcher().SlavePath();
    TSerialDevice line;
    QCOMPARE(line.Open(device), QString());
    QString problem;
    TForeignListener listener(ControlSocket::PathFor(device, true, &problem), listenerUid, reply);
    QVERIFY2(listener.Listening(), qPrintable(problem));

    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    TOneShotProgram::Result run;
    QVERIFY(m_program.Run(arguments, options, &run));
    const QByteArray output = run.standardError + run.standardOutput;
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2(output.contains(says), output.constData());
    QVERIFY2(!output.contains(saysNot), output.constData());
    QVERIFY2(!QString::fromUtf8(ReadWholeFile(m_program.LogPath())).contains(saysNot),
             "the foreign answer was taken for the owner's");
    QFile::remove(m_program.LogPath());
}

INCYCLER_APP_TEST_MAIN(TestServed)
#include "tst_served.moc"
