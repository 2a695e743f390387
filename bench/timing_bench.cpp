// Measures the switching timing of the real main window against the virtual switcher behind
// a pseudo-terminal, from the switcher's receive timestamps:
//  1. the gap between each select command and the input query that follows it (goal 100 ms
//     ± 5);
//  2. the period between automatic switches against the interval (goal: within 10 ms of the
//     interval plus the tick's own time);
//  3. in the time-window mode, the first switch after a Start inside the window against its
//     grid point + 100 ms (goal: within 20 ms), and the first switch when the window opens
//     against the window's start (goal: within 5 ms), with the time-mode text the refreshes
//     show before and right after that tick;
//  4. while waiting for the window, the first switch after the clock is set forward over the
//     opening, from the set (goal: within 1 s), and after it is set back by one second, against
//     the opening (goal: none early, within 5 ms).
// The program is made to believe it is a chosen time of day by shifting its clock; a shift
// is announced as a clock set, as the kernel announces a set of the system clock.
//   timing_bench [switches]   (6 by default; the rotation uses a 5 s interval)

#include "AppRig.h"
#include "app/Application.h"
#include "common/Clock.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "sim/VirtualSwitcher.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"

#include <QAbstractEventDispatcher>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

constexpr int kIntervalMs = 5000;

// Runs the real event loop (so the idle refresh runs as in the program) until the condition
// holds, checked at every frame the switcher receives and at least every 50 ms.
bool RunUntil(VirtualSwitcher& sw, const std::function<bool()>& done, int timeoutMs) {
    if (done())
        return true;
    QEventLoop loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.exit(0);
    });
    const auto conn = QObject::connect(&sw, &VirtualSwitcher::FrameReceived, &loop, [&] {
        if (done())
            loop.exit(0);
    });
    timeout.start(timeoutMs);
    check.start(50);
    const int rc = loop.exec();
    QObject::disconnect(conn);
    return rc == 0;
}

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

QList<VirtualSwitcher::TimedFrame> Since(VirtualSwitcher& sw, qint64 fromNs,
                                         const QByteArray& prefix) {
    QList<VirtualSwitcher::TimedFrame> out;
    for (const auto& f : sw.TimedFrames())
        if (f.monotonicNs >= fromNs && f.text.startsWith(prefix))
            out.append(f);
    return out;
}

struct Stats {
    double min = 0, mean = 0, max = 0;
    int n = 0;
};

Stats Summarise(const std::vector<double>& v) {
    Stats s;
    if (v.empty())
        return s;
    s.n = int(v.size());
    s.min = *std::min_element(v.begin(), v.end());
    s.max = *std::max_element(v.begin(), v.end());
    double sum = 0;
    for (double x : v)
        sum += x;
    s.mean = sum / double(v.size());
    return s;
}

void Print(const char* what, const Stats& s, const char* goal) {
    std::printf("%-46s n=%d  min %8.2f  mean %8.2f  max %8.2f ms   (%s)\n", what, s.n, s.min,
                s.mean, s.max, goal);
}

// Shifts the program's clock so that it reads `target` (a time of day) now.
void BelieveItIs(QTime target) {
    const QDateTime now = QDateTime::currentDateTime();
    Clock::SetOffsetMs(now.msecsTo(QDateTime(now.date(), target)));
}

// The program's time of day, in ms, for a switcher timestamp; ref pairs a monotonic reading
// with a program clock reading taken together.
double ProgramMsOfDay(qint64 ns, qint64 refNs, qint64 refMsOfDay) {
    return double(refMsOfDay) + double(ns - refNs) / 1e6;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TInCyclerApplication app(argc, argv);
    const int switches = argc > 1 ? std::max(2, atoi(argv[1])) : 6;

    // The switcher as COM3, the log in a temporary directory, the window shown and COM3 picked.
    AppRig rig;
    TFormMain* form = rig.Form();
    VirtualSwitcher& sw = rig.Switcher();
    rig.SelectPort(3);
    form->btn_ComPortState->SetDown(true);
    form->btn_ComPortStateClick();
    if (!RunUntil(
            sw, [&] { return sw.Frames().contains("GET"); }, 5000)) {
        std::fprintf(stderr, "the port did not open\n");
        return 1;
    }
    RunFor(800); // the power answer and the refresh

    for (int i = 0; i < form->clb_EnableSource->count(); ++i)
        form->clb_EnableSource->item(i)->setCheckState(Qt::Checked);
    form->cmb_IntervalUnit->setCurrentIndex(0);
    form->cmb_IntervalUnitChange();
    form->spn_Interval->SetValue(kIntervalMs / 1000);

    // Where each tick ends: connected after the handler, so it runs once the handler is done.
    std::vector<qint64> tickEndsNs;
    QObject::connect(form->tmr_RollSelectSource, &TWindowTimer::Timer, form,
                     [&] { tickEndsNs.push_back(VirtualSwitcher::MonotonicNs()); });

    // --- rotation, all the time ---
    std::printf("rotation over (1, 2, 3) every %d ms, %d switches after the first...\n",
                kIntervalMs, switches);
    std::fflush(stdout);
    form->rb_Jouji->setChecked(true);
    const qint64 rotationFrom = VirtualSwitcher::MonotonicNs();
    QTimer::singleShot(0, form, [form] { form->btn_StartClick(); }); // as a click, from the loop
    RunUntil(
        sw, [&] { return Since(sw, rotationFrom, "SRC").size() >= switches + 1; },
        (switches + 2) * (kIntervalMs + 1000));
    RunFor(300); // the last query
    form->btn_StopClick();

    // The select sent by Start itself is left out of the figures: the refresh that follows a
    // Start (groups disabled, labels restyled) runs on this thread before the in-process
    // switcher reads the command, so it is read some ms after it was written, while the
    // query's 100 ms count from the write. It is printed all the same.
    std::vector<double> gaps, periods, afterTickEnd;
    const auto frames = Since(sw, rotationFrom, "");
    qint64 previousSelect = -1, startSelect = -1;
    int selects = 0;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        if (!frames[i].text.startsWith("SRC"))
            continue;
        double gap = 0;
        for (qsizetype j = i + 1; j < frames.size(); ++j)
            if (frames[j].text == "GET") {
                gap = double(frames[j].monotonicNs - frames[i].monotonicNs) / 1e6;
                break;
            }
        const bool fromStart = previousSelect < 0;
        if (fromStart)
            startSelect = frames[i].monotonicNs;
        else
            gaps.push_back(gap);
        if (previousSelect >= 0 && previousSelect != startSelect)
            periods.push_back(double(frames[i].monotonicNs - previousSelect) / 1e6 - kIntervalMs);
        // Every tick sends one select, the first after Start's own: select k came from tick
        // k - 1, and the tick before it is k - 2. Counted, not found by time, since the
        // switcher may read a select while the sending tick is still running (the sending
        // lets the loop run) or only after it has ended.
        if (selects >= 2 && std::size_t(selects - 2) < tickEndsNs.size())
            afterTickEnd.push_back(double(frames[i].monotonicNs - tickEndsNs[selects - 2]) / 1e6 -
                                   kIntervalMs);
        ++selects;
        std::printf("  %s at %+10.2f ms  query gap %6.2f ms%s\n", frames[i].text.constData(),
                    double(frames[i].monotonicNs - rotationFrom) / 1e6, gap,
                    fromStart ? "  (sent by Start)" : "");
        previousSelect = frames[i].monotonicNs;
    }
    Print("select -> input query gap", Summarise(gaps), "goal 100 +- 5");
    Print("switch period - interval", Summarise(periods), "goal <= tick time + 10");
    Print("select - (previous tick's end + interval)", Summarise(afterTickEnd),
          "timer latency + tick time up to the write");

    // --- time window 08:00:00-17:00:00 ---
    form->rb_Shitei->setChecked(true);
    form->dt_Start->setTime(QTime(8, 0));
    form->dt_End->setTime(QTime(17, 0));

    std::vector<double> gridErrors;
    for (const QTime t : {QTime(8, 0, 1, 300), QTime(8, 0, 12, 730), QTime(10, 15, 42, 250),
                          QTime(16, 30, 3, 999)}) {
        BelieveItIs(t);
        const qint64 refNs = VirtualSwitcher::MonotonicNs();
        const qint64 refMs = Clock::Now().time().msecsSinceStartOfDay();
        const qint64 from = refNs;
        QTimer::singleShot(0, form,
                           [form] { form->btn_StartClick(); }); // as a click, from the loop
        RunUntil(
            sw, [&] { return Since(sw, from, "SRC").size() >= 2; }, 2 * kIntervalMs + 2000);
        form->btn_StopClick();
        const auto selects = Since(sw, from, "SRC");
        if (selects.size() < 2)
            continue;
        const qint64 sinceStart = refMs - QTime(8, 0).msecsSinceStartOfDay();
        const qint64 expected =
            QTime(8, 0).msecsSinceStartOfDay() + (sinceStart / kIntervalMs + 1) * kIntervalMs + 100;
        const double actual = ProgramMsOfDay(selects[1].monotonicNs, refNs, refMs);
        gridErrors.push_back(actual - double(expected));
        std::printf("  Start at %s: first switch %+.2f ms from grid + 100 ms\n",
                    qPrintable(t.toString(QStringLiteral("HH:mm:ss.zzz"))), gridErrors.back());
        std::fflush(stdout);
        RunFor(300);
    }
    Print("first switch after Start - (grid + 100)", Summarise(gridErrors), "goal within 20");

    // What the refresh shows, at every refresh: connected after the window's own handler.
    struct Shown {
        qint64 ns;
        QString text;
    };
    std::vector<Shown> shown;
    QObject::connect(
        QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock, form, [&] {
            shown.push_back({VirtualSwitcher::MonotonicNs(), form->txt_TimeMode->text()});
        });
    const QTime opening(8, 0);
    auto nsAtProgramTime = [](qint64 refNs, qint64 refMs, QTime t) {
        return refNs + (qint64(t.msecsSinceStartOfDay()) - refMs) * 1000000;
    };

    std::vector<double> openingErrors, refreshAfterTick;
    for (int run = 0; run < 3; ++run) {
        BelieveItIs(QTime(7, 59, 59, 200));
        const qint64 refNs = VirtualSwitcher::MonotonicNs();
        const qint64 refMs = Clock::Now().time().msecsSinceStartOfDay();
        shown.clear();
        QTimer::singleShot(0, form,
                           [form] { form->btn_StartClick(); }); // as a click, from the loop
        RunUntil(
            sw, [&] { return Since(sw, refNs, "SRC").size() >= 2; }, 3000);
        RunFor(100);
        form->btn_StopClick();
        const auto selects = Since(sw, refNs, "SRC");
        if (selects.size() >= 2 && selects[0].text == "SRC0")
            openingErrors.push_back(ProgramMsOfDay(selects[1].monotonicNs, refNs, refMs) -
                                    opening.msecsSinceStartOfDay());
        // The tick that opened the window, and the refreshes on either side of it.
        const qint64 openNs = nsAtProgramTime(refNs, refMs, opening);
        const auto tick = std::lower_bound(tickEndsNs.begin(), tickEndsNs.end(), openNs);
        if (tick == tickEndsNs.end())
            continue;
        QString before = QStringLiteral("(none)"), after = QStringLiteral("(none)");
        for (const Shown& r : shown) {
            if (r.ns < *tick - 1000000) {
                before = r.text;
            } else if (r.ns > *tick) {
                after = r.text;
                refreshAfterTick.push_back(double(r.ns - *tick) / 1e6);
                break;
            }
        }
        std::printf(
            "  opening: switch %+.2f ms; shown before the tick \"%s\", right after \"%s\"\n",
            openingErrors.empty() ? 0.0 : openingErrors.back(), qPrintable(before),
            qPrintable(after));
        std::fflush(stdout);
        RunFor(300);
    }
    Print("first switch as the window opens - 08:00", Summarise(openingErrors), "goal within 5");
    Print("refresh after the opening tick - its end", Summarise(refreshAfterTick),
          "the tick wakes the refresh");

    std::vector<double> afterStepForward;
    for (int run = 0; run < 3; ++run) {
        BelieveItIs(QTime(7, 0));
        const qint64 from = VirtualSwitcher::MonotonicNs();
        QTimer::singleShot(0, form,
                           [form] { form->btn_StartClick(); }); // as a click, from the loop
        RunFor(400); // input 0 and its query; then asleep for the backstop's time
        const qint64 stepNs = VirtualSwitcher::MonotonicNs();
        BelieveItIs(QTime(8, 0, 0, 500));
        RunUntil(
            sw, [&] { return Since(sw, from, "SRC").size() >= 2; }, 5000);
        form->btn_StopClick();
        const auto selects = Since(sw, from, "SRC");
        if (selects.size() >= 2 && selects[0].text == "SRC0")
            afterStepForward.push_back(double(selects[1].monotonicNs - stepNs) / 1e6);
        RunFor(300);
    }
    Print("switch after a set forward over the opening", Summarise(afterStepForward),
          "goal within 1000 of the set");

    std::vector<double> afterStepBack;
    int early = 0;
    for (int run = 0; run < 3; ++run) {
        BelieveItIs(QTime(7, 59, 59));
        const qint64 from = VirtualSwitcher::MonotonicNs();
        QTimer::singleShot(0, form,
                           [form] { form->btn_StartClick(); }); // as a click, from the loop
        RunFor(300);
        Clock::SetOffsetMs(Clock::OffsetMs() - 1000);
        const qint64 refNs = VirtualSwitcher::MonotonicNs();
        const qint64 refMs = Clock::Now().time().msecsSinceStartOfDay();
        RunUntil(
            sw, [&] { return Since(sw, from, "SRC").size() >= 2; }, 4000);
        form->btn_StopClick();
        const auto selects = Since(sw, from, "SRC");
        if (selects.size() >= 2 && selects[0].text == "SRC0") {
            afterStepBack.push_back(ProgramMsOfDay(selects[1].monotonicNs, refNs, refMs) -
                                    opening.msecsSinceStartOfDay());
            early += afterStepBack.back() < -1 ? 1 : 0;
        }
        RunFor(300);
    }
    Print("switch after a set back by 1 s - 08:00", Summarise(afterStepBack),
          "goal none early, within 5");
    std::printf("switches before the opening after a set back: %d\n", early);

    Clock::SetOffsetMs(0);
    return 0;
}
