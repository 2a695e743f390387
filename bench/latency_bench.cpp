// Reply latency: from the moment the virtual switcher's write of a reply (its CR included)
// returns to the moment the device model holds the state that reply reports.
//
//   latency_bench [replies]   (300 by default)
//
// The program runs in-process on the offscreen platform with the switcher behind a real
// pseudo-terminal, both on this thread's event loop as in the program. Each round moves the
// switcher to another input, asks for the input as the source check does, and lets the loop
// go idle between rounds. Two hooks that the program itself does not have take the times:
// the switcher's FrameReceived (emitted after the reply to the query has been written) and a
// slot on the reply timer connected after the data module's own, which thus runs right after
// each tick that may have stored the reply. A third hook on the receive announcement splits
// the figure into "bytes announced" and "reply cut out and stored".

#include "AppRig.h"
#include "app/Application.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/form_Main.h"

#include <QEventLoop>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace {

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const auto index = static_cast<size_t>(p * double(v.size() - 1) + 0.5);
    return v[std::min(index, v.size() - 1)];
}

void Print(const char* what, const std::vector<double>& v) {
    std::printf("%-40s n=%zu  min %7.3f  median %7.3f  p95 %7.3f  max %7.3f ms\n", what, v.size(),
                Percentile(v, 0), Percentile(v, 0.5), Percentile(v, 0.95), Percentile(v, 1));
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int replies = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
    TInCyclerApplication app(argc, argv);
    AppRig rig;
    VirtualSwitcher& sw = rig.Switcher();
    if (!rig.OpenPortByButton(3)) {
        std::fprintf(stderr, "latency_bench: the port did not open\n");
        return 1;
    }
    RunFor(1000); // the opening's queries and their replies

    TModel* model = rig.Form()->Model();
    Tmod_IF_ComPort* module = rig.Module();

    struct Round {
        int expected = 0;
        qint64 writtenNs = 0;
        qint64 announcedNs = 0;
        qint64 storedNs = 0;
    } round;
    bool waiting = false;
    QEventLoop* roundLoop = nullptr;

    QObject::connect(&sw, &VirtualSwitcher::FrameReceived, &sw, [&](const QByteArray& text) {
        if (waiting && round.writtenNs == 0 && text == "GET")
            round.writtenNs = VirtualSwitcher::MonotonicNs();
    });
    QObject::connect(module->ApdComPort1, &TApdComPort::TriggerAvail, module, [&] {
        if (waiting && round.writtenNs != 0 && round.announcedNs == 0)
            round.announcedNs = VirtualSwitcher::MonotonicNs();
    });
    QObject::connect(module->tmr_RxBuffCheck, &TWindowTimer::Timer, module, [&] {
        if (!waiting || round.writtenNs == 0 || model->SelectedSourceNum() != round.expected)
            return;
        round.storedNs = VirtualSwitcher::MonotonicNs();
        waiting = false;
        if (roundLoop)
            roundLoop->quit();
    });

    std::vector<double> total, announced, stored;
    int lost = 0;
    for (int i = 0; i < replies; ++i) {
        round = Round{};
        round.expected = model->SelectedSourceNum() % 3 + 1;
        sw.SetSelectedInput(round.expected);
        waiting = true;
        QEventLoop loop;
        roundLoop = &loop;
        QTimer timeout;
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
        timeout.start(2000);
        // From the loop, as the source check's timer would send it.
        QTimer::singleShot(0, module, [model] { model->RequestInputSourceNum(); });
        loop.exec();
        roundLoop = nullptr;
        if (waiting || round.writtenNs == 0) {
            waiting = false;
            ++lost;
            continue;
        }
        total.push_back(double(round.storedNs - round.writtenNs) / 1e6);
        if (round.announcedNs != 0) {
            announced.push_back(double(round.announcedNs - round.writtenNs) / 1e6);
            stored.push_back(double(round.storedNs - round.announcedNs) / 1e6);
        }
        RunFor(30); // idle between rounds, so that each reply finds the loop asleep
    }

    Print("reply written -> model holds it", total);
    Print("  reply written -> bytes announced", announced);
    Print("  bytes announced -> model holds it", stored);
    std::printf("replies lost or timed out: %d of %d\n", lost, replies);
    return lost == 0 ? 0 : 1;
}
