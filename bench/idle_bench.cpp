// Idle cost of the program with the port open and no traffic: wake-ups per second
// (voluntary context switches) and CPU share, with the window visible and hidden.
//
//   idle_bench [seconds]
//
// Runs the program in-process (the same code as InCycler) on the offscreen platform, or on
// the one QT_QPA_PLATFORM names, opens the port against a virtual switcher, and measures.

#include "AppRig.h"
#include "app/Application.h"
#include "device/dm_IF_ComPort.h"
#include "ui/form_Main.h"

#include <QEventLoop>
#include <QFile>
#include <QTimer>

#include <cstdio>
#include <ctime>

namespace {

qint64 VoluntarySwitches() {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("voluntary_ctxt_switches:"))
            return line.mid(24).trimmed().toLongLong();
    }
    return -1;
}

// The plain event loop: QTest::qWait would wake every 10 ms by itself.
void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

double CpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void Measure(const char* label, int seconds) {
    const qint64 switches = VoluntarySwitches();
    const double cpu = CpuSeconds();
    RunLoopFor(seconds * 1000);
    const double wakeups = double(VoluntarySwitches() - switches) / seconds;
    const double percent = 100.0 * (CpuSeconds() - cpu) / seconds;
    std::printf("%-28s %8.2f wake-ups/s %8.3f %% CPU  (%d s)\n", label, wakeups, percent, seconds);
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 10;
    TInCyclerApplication app(argc, argv);
    AppRig rig;
    if (!rig.Module()->OpenComPort(3)) {
        std::fprintf(stderr, "idle_bench: the port did not open\n");
        return 1;
    }
    RunLoopFor(1000); // let the opening's queries and replies settle
    Measure("port open, window visible", seconds);
    rig.Form()->hide();
    Measure("port open, window hidden", seconds);
    return 0;
}
