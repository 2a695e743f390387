// Cost of one idle refresh (ApplicationEvents1Idle) when nothing has changed: the window
// visible, the port open against a virtual switcher, the device's answers taken in.
// The refresh runs after every burst of events, so this is paid many times a second.
//
//   refresh_bench [calls]
//
// Runs the program in-process on the offscreen platform (the same code as InCycler). No
// events are processed while measuring, so nothing changes between the calls.

#include "AppRig.h"
#include "app/Application.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/form_Main.h"

#include <QListWidget>
#include <QPushButton>
#include <QTest>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void Measure(const char* label, TFormMain* form, int calls) {
    for (int i = 0; i < 1000; ++i) // warm caches and let every write settle
        form->ApplicationEvents1Idle();

    std::vector<double> us(static_cast<size_t>(calls));
    const auto begin = Clock::now();
    for (int i = 0; i < calls; ++i) {
        const auto t0 = Clock::now();
        form->ApplicationEvents1Idle();
        us[size_t(i)] = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    }
    const double totalUs = std::chrono::duration<double, std::micro>(Clock::now() - begin).count();

    std::sort(us.begin(), us.end());
    double sum = 0;
    for (double v : us)
        sum += v;
    auto at = [&](double q) { return us[std::min(us.size() - 1, size_t(q * double(us.size())))]; };
    std::printf("%-32s median %7.3f us  mean %7.3f us  p99 %7.3f us  min %7.3f us  "
                "(%d calls, %.3f us per call with the timing included)\n",
                label, at(0.5), sum / double(calls), at(0.99), us.front(), calls,
                totalUs / double(calls));
    std::fflush(stdout);
}

bool Settled(AppRig& rig) {
    TFormMain* form = rig.Form();
    return !form->tmr_CheckSource->Enabled() && !form->tmr_CheckPower->Enabled() &&
           form->Model()->PowerState() != psNone && form->Model()->SelectedSourceNum() != 0 &&
           rig.Module()->RcvBuff().isEmpty();
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const int calls = argc > 1 ? std::max(1, std::atoi(argv[1])) : 200000;
    TInCyclerApplication app(argc, argv);
    AppRig rig;
    TFormMain* form = rig.Form();
    if (!QTest::qWaitForWindowExposed(form) || !rig.OpenPortByButton(3) ||
        !QTest::qWaitFor([&] { return Settled(rig); }, 10000)) {
        std::fprintf(stderr, "refresh_bench: the port did not open or the device did not answer\n");
        return 1;
    }
    Measure("port open, stopped", form, calls);

    // Switching all the time: the running texts, bold and coloured, and the locked groups.
    for (int i = 0; i < 2; ++i)
        form->clb_EnableSource->item(i)->setCheckState(Qt::Checked);
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    if (!form->AutoChangeRunning() || !QTest::qWaitFor([&] { return Settled(rig); }, 10000)) {
        std::fprintf(stderr, "refresh_bench: switching did not start\n");
        return 1;
    }
    Measure("port open, switching", form, calls);
    return 0;
}
