// The InCycler that holds a port serves the others: the built program's one-shot commands and
// --status, against this process's window or against a --rotate run of the program.

#include "ControlSupport.h"
#include "OneShotProgram.h"
#include "control/ControlSocket.h"
#include "control/ControlTexts.h"
#include "device/SerialDevice.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSocketNotifier>
#include <QStandardPaths>

#include <grp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

// Something other than InCycler at the port's socket, answering each connection with reply;
// listened as uid when given, as a stranger's socket whose recorded pid went to the holder.
int ForeignListener(const QString& path, int uid, const QByteArray& reply, QObject* context) {
    sockaddr_un address;
    ::unlink(QFile::encodeName(path).constData());
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (!ControlSocket::AddressFor(path, &address) ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        (uid >= 0 && ::seteuid(uid_t(uid)) != 0) || ::listen(fd, 8) != 0 ||
        (uid >= 0 && ::seteuid(0) != 0))
        return -1;
    QObject::connect(new QSocketNotifier(fd, QSocketNotifier::Read, context),
                     &QSocketNotifier::activated, [fd, reply] {
                         const int client = ::accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
                         ::send(client, reply.constData(), size_t(reply.size()), MSG_NOSIGNAL);
                         ::close(client);
                     });
    return fd;
}

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
    void WatchFollowsTheState();

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
    // The window in this process, or the program's --rotate or --serve run.
    QTest::addColumn<QString>("owner");
    // The program's, or with "socat" first a request line sent to the socket by socat.
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArrayList>("frames"); // what reaches the switcher: command and poll
    QTest::addColumn<QByteArray>("says");       // in the run's standard error or output

    QTest::newRow("window, input") << "window" << QStringList{"/com03", "/rsx24p", "/in3"} << 0
                                   << QByteArrayList{"SRC3", "GET"} << QByteArray();
    QTest::newRow("window, power off") << "window" << QStringList{"/com03", "/rsx24p", "/pwr0"} << 0
                                       << QByteArrayList{"PWR0", "PWR?"} << QByteArray();
    QTest::newRow("rotation, input") << "rotate" << QStringList{"/com03", "/rsx24p", "/in2"} << 0
                                     << QByteArrayList{"SRC2", "GET"} << QByteArray();
    QTest::newRow("model mismatch") << "window" << QStringList{"/com03", "/rsx24q", "/in3"} << 1
                                    << QByteArrayList{} << QByteArray("drives an RSX-24P");
    QTest::newRow("window, status") << "window" << QStringList{"--status", "COM3"} << 0
                                    << QByteArrayList{} << QByteArray("\"rotation\":\"stopped\"");
    QTest::newRow("rotation, status")
        << "rotate" << QStringList{"--status=/com03"} << 0 << QByteArrayList{}
        << QByteArray("\"inputs\":[1,3],\"interval_ms\":7200000,\"mode\":\"all-day\"");
    // The socket's own requests, as a script sends them.
    const QString socat = QStringLiteral("socat");
    QTest::newRow("window, select without a model")
        << "window" << QStringList{socat, R"({"command":"select","input":3})"} << 0
        << QByteArrayList{"SRC3", "GET"} << QByteArray(R"({"ok":true})");
    // The interval as the window offers it, shown or not.
    QTest::newRow("serve, status")
        << "serve" << QStringList{"--status", "com03"} << 0 << QByteArrayList{}
        << QByteArray("\"interval_ms\":5000,\"mode\":\"all-day\"");
    // As 開始 after the settings were made: the switcher on, the first input, its poll.
    QTest::newRow("serve, rotation")
        << "serve"
        << QStringList{socat,
                       R"({"command":"rotation","running":true,"inputs":[1,3],"every":"2min"})"}
        << 0 << QByteArrayList{"PWR1", "SRC1", "GET", "PWR?"} << QByteArray(R"({"ok":true})");
    QTest::newRow("serve, rotation of one input")
        << "serve" << QStringList{socat, R"({"command":"rotation","running":true,"inputs":[2]})"}
        << 0 << QByteArrayList{}
        << QByteArray("--inputs: '2' is not allowed; give two or three different inputs");
    // Nothing ticked in the window: refused as its box would, and no box on the owner's desk.
    QTest::newRow("window, rotation of the controls' inputs")
        << "window" << QStringList{socat, R"({"command":"rotation","running":true})"} << 0
        << QByteArrayList{} << ControlTexts::TooFewInputs().toUtf8();
}

void TestServed::ServedByTheOwner() {
    QFETCH(QString, owner);
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    QFETCH(QByteArrayList, frames);
    QFETCH(QByteArray, says);
    VirtualSwitcher& sw = m_rig->Switcher();
    // A file left at the socket's path (a killed owner's, as another operator) is replaced.
    if (owner == QLatin1String("window")) {
        QString problem;
        const QString path = ControlSocket::PathFor(sw.SlavePath(), true, &problem);
        ::unlink(QFile::encodeName(path).constData());
        QFile placeholder(path);
        QVERIFY2(placeholder.open(QIODevice::WriteOnly), qPrintable(path + problem));
        if (::geteuid() == 0)
            QCOMPARE(::chown(QFile::encodeName(path).constData(), 65534, 65534), 0);
    }
    TOneShotProgram ownerCopy(QStringLiteral(INCYCLER_BINARY));
    QProcess ownerRun;
    const auto stopOwner = qScopeGuard([&] {
        ownerRun.kill();
        ownerRun.waitForFinished();
    });
    qint64 ownerPid = QCoreApplication::applicationPid();
    const bool rotateOwner = owner == QLatin1String("rotate");
    if (owner != QLatin1String("window")) {
        // The service manager's end of NOTIFY_SOCKET, as systemd has it for Type=notify.
        const QTemporaryDir notifyDir;
        const int manager = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        const auto closeManager = qScopeGuard([manager] { ::close(manager); });
        sockaddr_un address{AF_UNIX, {}};
        qstrncpy(address.sun_path, qPrintable(notifyDir.filePath("notify")),
                 sizeof address.sun_path);
        QVERIFY(::bind(manager, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0);
        QByteArrayList told;
        const auto tell = [&] {
            char buffer[4096];
            for (ssize_t n; (n = ::recv(manager, buffer, sizeof buffer, 0)) > 0;)
                told.append(QByteArray(buffer, n));
            return told.size();
        };
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("INCYCLER_PORT_DIR"), m_rig->PortDir());
        // With WatchdogSec=1s.
        env.insert(QStringLiteral("NOTIFY_SOCKET"), notifyDir.filePath("notify"));
        env.insert(QStringLiteral("WATCHDOG_USEC"), QStringLiteral("1000000"));
        ownerRun.setProcessEnvironment(env);
        ownerRun.start(ownerCopy.Path(),
                       QStringList{rotateOwner ? "--rotate" : "--serve", "--port", "com03",
                                   "--model", "rsx24p"} +
                           (rotateOwner ? QStringList{"--inputs", "1,3", "--every", "120min"}
                                        : QStringList{}));
        QVERIFY(ownerRun.waitForStarted());
        ownerPid = ownerRun.processId();
        // Started and settled: the input's poll and the power's (650 ms after the power-on).
        QVERIFY(QTest::qWaitFor(
            [&] {
                return FramesWith(sw, "GET").size() == 1 &&
                       FramesWith(sw, "PWR?").size() == (rotateOwner ? 2 : 1);
            },
            60000));
        // Ready once it rotates or serves, saying so; then the watchdog's pings from its loop.
        QVERIFY(QTest::qWaitFor([&] { return tell() >= 2; }, 60000));
        QVERIFY2(told[0].startsWith(rotateOwner ? "READY=1\nSTATUS=rotating on COM3 ("
                                                : "READY=1\nSTATUS=serving COM3 ("),
                 told[0].constData());
        QCOMPARE(told[1], QByteArray("WATCHDOG=1"));
    } else {
        QVERIFY(OpenAndSettle(*m_rig));
    }
    sw.ClearFrames();

    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    const bool socket = arguments.first() == QLatin1String("socat");
    if (socket) {
        options.program = QStandardPaths::findExecutable(QStringLiteral("socat"));
        if (options.program.isEmpty())
            QSKIP("needs socat");
        QString problem;
        const QByteArray request = arguments.last().toUtf8() + '\n';
        arguments = {"-t", "5", "-",
                     "UNIX-CONNECT:" + ControlSocket::PathFor(sw.SlavePath(), false, &problem)};
        options.during = [request](QProcess& process) {
            process.write(request);
            process.closeWriteChannel();
        };
    }
    TOneShotProgram::Result run;
    QVERIFY(m_program.Run(arguments, options, &run));
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY2((run.standardError + run.standardOutput).contains(says),
             run.standardError.constData());
    // The command on the owner's line, and the poll that lets the owner follow the device.
    QVERIFY(QTest::qWaitFor([&] { return sw.Frames().size() >= frames.size(); }, 5000));
    QCOMPARE(sw.Frames(), frames);
    if (owner == QLatin1String("window") && frames.value(0) == "SRC3")
        QTRY_COMPARE(m_rig->Form()->Model()->SelectedSourceNum(), 3);
    QCOMPARE(ShownBoxes().size(), 0);
    if (arguments.first().startsWith(QLatin1String("--status"))) {
        const QJsonObject state = QJsonDocument::fromJson(run.standardOutput).object();
        QCOMPARE(state.value("pid").toInteger(), ownerPid);
        QCOMPARE(state.value("port").toString(), QStringLiteral("COM3"));
        QCOMPARE(state.value("device").toString(), sw.SlavePath());
    } else if (!socket) {
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
    const QStringList status{"--status", "com03"}, oneShot{"/com03", "/rsx24p", "/in3"};
    const QByteArray fffd = "\xef\xbf\xbd"; // U+FFFD
    // The holder's pid, but not its user: the stranger's socket outlived its listener.
    QTest::newRow("listener of another user, status")
        << 65534 << state << status << 1
        << QByteArray("is not served by the process that holds the port") << QByteArray("running");
    QTest::newRow("listener of another user, one-shot")
        << 65534 << QByteArray("{\"ok\":true}\n") << oneShot << 1 << QByteArray("in use by process")
        << QByteArray("引数実行成功");
    // Believed, and still nothing of what it says may steer the terminal.
    QTest::newRow("control characters in the owner's message")
        << -1
        << QByteArray(R"({"ok":false,"error":"not-sent","message":"\u001b[2J\u009b1m\u202eevil"})"
                      "\n")
        << oneShot << 1 << fffd + "[2J" + fffd + "1m" + fffd + "evil" << QByteArray("\x1b");
    QTest::newRow("control characters in the state")
        << -1 << state << status << 0 << fffd + "2J" << QByteArray("\xc2\x9b");
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
    QObject scope; // the listener's notifier goes with it
    const int listener =
        ForeignListener(ControlSocket::PathFor(device, true, &problem), listenerUid, reply, &scope);
    const auto closeListener = qScopeGuard([listener] { ::close(listener); });
    QVERIFY2(listener >= 0, qPrintable(problem));

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

// A --serve owner: its watch gets the state at once and the device's report of a one-shot's
// input; it ends when the line goes away, and the owner takes the line up again when it is back,
// knowing nothing of the device until it answers.
void TestServed::WatchFollowsTheState() {
    VirtualSwitcher& sw = m_rig->Switcher();
    TOneShotProgram ownerCopy(QStringLiteral(INCYCLER_BINARY));
    QProcess owner;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), m_rig->PortDir());
    owner.setProcessEnvironment(env);
    owner.start(ownerCopy.Path(), {"--serve", "--port", "com03", "--model", "rsx24p"});
    const auto stopOwner = qScopeGuard([&] {
        owner.kill();
        owner.waitForFinished();
    });
    QVERIFY(QTest::qWaitFor([&] { return FramesWith(sw, "GET").size() == 1; }, 60000));

    QString problem;
    sockaddr_un address;
    QVERIFY(ControlSocket::AddressFor(ControlSocket::PathFor(sw.SlavePath(), false, &problem),
                                      &address));
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    QCOMPARE(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const QByteArray watch = "{\"command\":\"watch\"}\n";
    QCOMPARE(::send(fd, watch.constData(), size_t(watch.size()), MSG_NOSIGNAL), watch.size());
    QByteArray received;
    bool ended = false;
    const auto read = [&] {
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n > 0)
            received.append(buffer, n);
        ended = ended || n == 0;
        return true;
    };
    QTRY_VERIFY(read() && received.count('\n') >= 1);
    QVERIFY2(received.startsWith("{\"event\":\"state\",\"state\":{"), received.constData());

    TOneShotProgram::Options options;
    options.portDir = m_rig->PortDir();
    TOneShotProgram::Result run;
    QVERIFY(m_program.Run({"/com03", "/rsx24p", "/in2"}, options, &run));
    QCOMPARE(run.exitCode, 0);
    QTRY_VERIFY2(read() && received.contains("\"input\":2,"), received.constData());
    sw.Stop();
    QTRY_VERIFY(read() && ended);
    sw.ClearFrames();
    sw.SetMute(true); // back, but not answering yet
    QVERIFY(sw.Start());
    // Asked as Open asks, once it is found again (tried every 5 s), and nothing known of it
    // until it answers: not the input it reported before.
    QTRY_VERIFY_WITH_TIMEOUT(FramesWith(sw, "GET").size() == 1, 30000);
    QCOMPARE(sw.Frames().first(), QByteArray("PWR?"));
    QVERIFY(m_program.Run({"--status", "com03"}, options, &run));
    QVERIFY2(run.exitCode == 0 && run.standardOutput.contains(sw.SlavePath().toUtf8()) &&
                 run.standardOutput.contains("\"input\":0,") &&
                 run.standardOutput.contains("\"power\":\"unknown\""),
             run.standardOutput.constData());
}

INCYCLER_APP_TEST_MAIN(TestServed)
#include "tst_served.moc"
