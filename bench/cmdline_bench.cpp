// Times one-shot runs: the median wall time of ten runs of
//   InCycler /com03 /rsx24p /in2
// without a display, against a virtual switcher in this process.
//   cmdline_bench [path/to/InCycler]   (the built program when none is given)
// The program waits 100 ms for its message loop before it sends, which is the floor.

#include "sim/VirtualSwitcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QString binary =
        argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(INCYCLER_BINARY);
    QTemporaryDir exeDir;
    QTemporaryDir portDir;
    // A copy, so that the runs' log lies in the temporary directory.
    const QString program = exeDir.filePath(QStringLiteral("InCycler"));
    if (!QFile::copy(binary, program)) {
        std::fprintf(stderr, "cmdline_bench: cannot copy %s\n", qPrintable(binary));
        return 1;
    }

    VirtualSwitcher::Options options;
    options.comNumber = 3;
    options.portDir = portDir.path();
    VirtualSwitcher sim(options);
    QString error;
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "cmdline_bench: %s\n", qPrintable(error));
        return 1;
    }

    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), portDir.path());

    constexpr int kRuns = 10;
    std::vector<double> runs;
    for (int i = 0; i < kRuns; ++i) {
        QProcess process;
        process.setProcessEnvironment(env);
        process.setStandardErrorFile(QProcess::nullDevice());
        QEventLoop loop;
        QObject::connect(&process, &QProcess::finished, &loop, &QEventLoop::quit);
        QElapsedTimer clock;
        clock.start();
        process.start(program, {"/com03", "/rsx24p", "/in2"});
        // The switcher needs this loop while the program runs.
        loop.exec();
        const double ms = double(clock.nsecsElapsed()) / 1e6;
        if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
            std::fprintf(stderr, "cmdline_bench: run %d ended with status %d\n", i + 1,
                         process.exitCode());
            return 1;
        }
        runs.push_back(ms);
        std::printf("run %2d: %7.1f ms\n", i + 1, ms);
    }
    // Frames still in the pty are read within a moment; a lost one shows in the count.
    QElapsedTimer settle;
    settle.start();
    while (sim.Frames().size() < kRuns && settle.elapsed() < 2000)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    std::sort(runs.begin(), runs.end());
    const double median = (runs[kRuns / 2 - 1] + runs[kRuns / 2]) / 2;
    std::printf("median of %d one-shot runs: %.1f ms (frames received: %lld)\n", kRuns, median,
                static_cast<long long>(sim.Frames().size()));
    return 0;
}
