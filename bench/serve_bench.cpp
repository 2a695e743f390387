// The owner of a port under hostile clients: the real main window in-process rotates IN1..IN3
// every 5 s while it serves its socket; then another process keeps 300 connections to that
// socket open (100 that send garbage, 100 that send nothing, 100 that send status requests and
// never read), reconnecting each one the owner drops. Compares, without and with them, the
// rotation's period from the switcher's receive times, the owner's CPU time and memory, and
// how long a real InCycler --status and a served one-shot take.
//
// Run as root (with setpriv), the sockets' directory is made as the package makes it
// (root:dialout 2770) and two more floods come from uid 65534: as a stranger in no group, whom
// the kernel refuses, and as a member of the sockets' group who may not open the port (a pty,
// group tty), whom the owner refuses.
//
//   serve_bench [switches]   (4 per phase by default)
//   serve_bench --attack SOCKET SECONDS   (the hostile process; serve_bench starts it itself)

#include "AppRig.h"
#include "ControlSupport.h"
#include "app/Application.h"
#include "control/ControlServer.h"
#include "control/ControlSocket.h"
#include "device/cls_ApdComPort.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#include <vector>

using namespace ControlSupport;

namespace {

constexpr int kIntervalMs = 5000;
constexpr int kHostile = 300;

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

qint64 VmRssKiB() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

// The period error of each switch after the first since fromNs: gap to the previous one minus
// the interval, in ms.
std::vector<double> PeriodErrors(VirtualSwitcher& sw, qint64 fromNs) {
    std::vector<double> errors;
    qint64 last = -1;
    for (const VirtualSwitcher::TimedFrame& f : sw.TimedFrames()) {
        if (f.monotonicNs < fromNs || !f.text.startsWith("SRC"))
            continue;
        if (last >= 0)
            errors.push_back(double(f.monotonicNs - last) / 1e6 - kIntervalMs);
        last = f.monotonicNs;
    }
    return errors;
}

// --- the hostile process -------------------------------------------------------------------

int Connect(const char* path) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path, sizeof address.sun_path - 1);
    // A full backlog (EAGAIN) counts as a failed attempt: tried again next round.
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

int Attack(const char* path, int seconds) {
    std::vector<pollfd> fds(kHostile, pollfd{-1, 0, 0});
    const char status[] = "{\"command\":\"status\"}\n";
    char garbage[4096];
    for (char& c : garbage)
        c = char(std::rand());
    long connects = 0;
    long dropped = 0;
    timespec start{}, now{};
    ::clock_gettime(CLOCK_MONOTONIC, &start);
    do {
        for (int i = 0; i < kHostile; ++i) {
            pollfd& p = fds[size_t(i)];
            if (p.fd < 0 && (p.fd = Connect(path)) >= 0)
                ++connects;
            if (p.fd < 0)
                continue;
            // A third garbage, a third nothing, a third requests never read.
            if (i % 3 == 0) [[maybe_unused]]
                auto n = ::send(p.fd, garbage, sizeof garbage, MSG_NOSIGNAL);
            else if (i % 3 == 2) [[maybe_unused]]
                auto n = ::send(p.fd, status, sizeof status - 1, MSG_NOSIGNAL);
            p.events = POLLIN;
        }
        ::poll(fds.data(), fds.size(), 20);
        for (pollfd& p : fds) {
            // Closed by the owner: reconnect next round. Replies are never read.
            if (p.fd >= 0 && (p.revents & (POLLHUP | POLLERR))) {
                ::close(p.fd);
                p.fd = -1;
                ++dropped;
            }
        }
        ::clock_gettime(CLOCK_MONOTONIC, &now);
    } while (now.tv_sec - start.tv_sec < seconds);
    long open = 0;
    for (const pollfd& p : fds)
        open += p.fd >= 0;
    std::printf("%ld connections made, %ld dropped by the owner, %ld open at the end\n", connects,
                dropped, open);
    return 0;
}

// --- the owner ------------------------------------------------------------------------------

struct Phase {
    std::vector<double> errors;
    double cpuMs = 0;
    qint64 rssKiB = 0;
    QString answer;  // what InCycler --status made of the owner during the phase
    QString oneShot; // and a served one-shot
};

// Runs the program while the owner's loop goes on; its exit status, wall time and what it said.
QString Timed(const QStringList& arguments, const QString& portDir) {
    QProcess run;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), portDir);
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    run.setProcessEnvironment(env);
    QElapsedTimer wall;
    qint64 tookMs = -1;
    QObject::connect(&run, &QProcess::finished, [&] { tookMs = wall.elapsed(); });
    wall.start();
    run.start(QStringLiteral(INCYCLER_BINARY), arguments);
    while (tookMs < 0 && wall.elapsed() < 10000)
        RunFor(5);
    run.waitForFinished(10000);
    const QString said = run.exitCode() == 0
                             ? QString::fromUtf8(run.readAllStandardOutput().left(40))
                             : QString::fromUtf8(run.readAllStandardError().trimmed())
                                   .section(QStringLiteral("): "), -1);
    return QStringLiteral("exit %1 after %2 ms%3")
        .arg(run.exitCode())
        .arg(tookMs)
        .arg(said.isEmpty() ? QString() : QStringLiteral(", ") + said);
}

// InCycler --status, run halfway through the phase while the owner's loop goes on, then a
// one-shot that the owner serves.
Phase Measure(AppRig& rig, int switches) {
    Phase phase;
    const qint64 from = VirtualSwitcher::MonotonicNs();
    const double cpu0 = ProcessCpuMs();
    RunFor(kIntervalMs / 2);
    phase.answer = Timed({"--status", "COM3"}, rig.PortDir());
    // A power-on, which the switcher already is: no select that the period would count.
    phase.oneShot = Timed({"/com03", "/rsx24p", "/pwr1"}, rig.PortDir());
    RunFor(switches * kIntervalMs - kIntervalMs);
    phase.cpuMs = ProcessCpuMs() - cpu0;
    phase.errors = PeriodErrors(rig.Switcher(), from);
    phase.rssKiB = VmRssKiB();
    return phase;
}

void Print(const char* name, const Phase& phase) {
    const auto [mn, mx] = std::minmax_element(phase.errors.begin(), phase.errors.end());
    double sum = 0;
    for (double e : phase.errors)
        sum += e;
    std::printf("%s: period - interval min %.1f mean %.1f max %.1f ms (n=%zu); owner CPU %.0f "
                "ms; VmRSS %lld KiB; InCycler --status: %s; a served one-shot: %s\n",
                name, phase.errors.empty() ? 0 : *mn,
                phase.errors.empty() ? 0 : sum / double(phase.errors.size()),
                phase.errors.empty() ? 0 : *mx, phase.errors.size(), phase.cpuMs,
                static_cast<long long>(phase.rssKiB), qPrintable(phase.answer),
                qPrintable(phase.oneShot));
}

// A flood from another process, as wrap runs it, then the phase measured under it.
Phase Flooded(AppRig& rig, int switches, const QString& path, const QStringList& wrap,
              QByteArray* attackerSaid) {
    QProcess attacker;
    const QStringList attack{QCoreApplication::applicationFilePath(), "--attack", path,
                             QString::number(switches * kIntervalMs / 1000 + 2)};
    attacker.start(wrap.isEmpty() ? attack.first() : wrap.first(),
                   wrap.isEmpty() ? attack.mid(1) : wrap.mid(1) + attack);
    attacker.waitForStarted();
    RunFor(1000);
    const Phase phase = Measure(rig, switches);
    while (attacker.state() != QProcess::NotRunning)
        RunFor(100);
    *attackerSaid = attacker.readAllStandardOutput();
    // Once the connections' lifetime has passed, nothing of them is left.
    RunFor(TControlServer::ConnectionLifetimeMs + 1000);
    return phase;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "--attack") == 0)
        return Attack(argv[2], std::atoi(argv[3]));
    const int switches = argc > 1 ? std::max(2, std::atoi(argv[1])) : 4;
    qputenv("QT_QPA_PLATFORM", "offscreen");
    TInCyclerApplication app(argc, argv);
    RecordBoxes(true);

    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    const group* dialout = ::getgrnam("dialout");
    const bool strangers = ::geteuid() == 0 && !setpriv.isEmpty() && dialout != nullptr;
    QTemporaryDir runDir;
    if (strangers) {
        const QByteArray dir = QFile::encodeName(runDir.path());
        if (::chown(dir.constData(), 0, dialout->gr_gid) != 0 ||
            ::chmod(dir.constData(), 02770) != 0)
            return 1;
        qputenv("INCYCLER_RUN_DIR", dir);
    }
    AppRig rig;
    if (!StartRotation(rig, {1, 2, 3})) {
        std::fprintf(stderr, "the rotation did not start\n");
        return 1;
    }
    QString problem;
    const QString path =
        ControlSocket::PathFor(rig.Module()->ApdComPort1->DevicePath(), false, &problem);
    const auto* server = rig.Module()->ApdComPort1->findChild<TControlServer*>();
    const auto after = [&] {
        std::printf("after them: %d connections held, VmRSS %lld KiB\n",
                    server != nullptr ? server->Connections() : -1,
                    static_cast<long long>(VmRssKiB()));
    };

    Print("without clients", Measure(rig, switches));
    QByteArray said;
    Print("under 300 hostile connections", Flooded(rig, switches, path, {}, &said));
    std::printf("hostile process: %s", said.constData());
    after();
    if (!strangers)
        return 0;
    const QStringList stranger{setpriv, "--reuid=65534", "--regid=65534", "--clear-groups"};
    Print("under 300 connections of a stranger", Flooded(rig, switches, path, stranger, &said));
    std::printf("stranger: %s", said.constData());
    after();
    const QStringList member{setpriv, "--reuid=65534", "--regid=65534",
                             QStringLiteral("--groups=%1").arg(dialout->gr_gid)};
    Print("under 300 connections of a member of the sockets' group who may not open the port",
          Flooded(rig, switches, path, member, &said));
    std::printf("member: %s", said.constData());
    after();
    return 0;
}
