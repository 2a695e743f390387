// Idle cost of the program with the port open and no traffic: wake-ups per second
// (voluntary context switches of all its threads) and CPU time, with the window visible and
// hidden; then the same while switching in the time-window mode waits for its window
// (08:00-17:00, IN1 and IN3, started at a believed 06:00), with the frames sent meanwhile.
//
//   idle_bench [seconds]
//
// Runs the program in-process (the same code as InCycler) on the offscreen platform, or on
// the one QT_QPA_PLATFORM names, opens the port against a virtual switcher, and measures.

#include "AppRig.h"
#include "app/Application.h"
#include "common/Clock.h"
#include "device/dm_IF_ComPort.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"

#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

// Of every thread of the process, those that have ended included (/proc/self/status would
// count the main thread alone).
qint64 VoluntarySwitches() {
    rusage usage{};
    if (getrusage(RUSAGE_SELF, &usage) != 0)
        return -1;
    return usage.ru_nvcsw;
}

// The plain event loop: QTest::qWait would wake every 10 ms by itself.
void RunLoopFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

struct Cost {
    double wakeups = 0; // per second
    double cpuMs = 0;
};

Cost MeasureSpan(int seconds) {
    const qint64 switches = VoluntarySwitches();
    const double cpu = ProcessCpuMs();
    RunLoopFor(seconds * 1000);
    return {double(VoluntarySwitches() - switches) / seconds, ProcessCpuMs() - cpu};
}

void Print(const char* label, const Cost& cost, int seconds, const QString& extra = {}) {
    std::printf("%-36s %8.2f wake-ups/s %8.3f %% CPU %8.2f ms CPU in %d s%s\n", label, cost.wakeups,
                cost.cpuMs / 10.0 / seconds, cost.cpuMs, seconds, qPrintable(extra));
    std::fflush(stdout);
}

// Starts switching in the time-window mode at a believed 06:00 and measures the wait; false
// when it did not wait or sent a frame meanwhile.
bool MeasureWaiting(AppRig& rig, int seconds) {
    TFormMain* form = rig.Form();
    form->show();
    rig.SelectPort(3);
    for (int i = 0; i < form->clb_EnableSource->count(); ++i)
        form->clb_EnableSource->item(i)->setCheckState(i == 1 ? Qt::Unchecked : Qt::Checked);
    form->rb_Shitei->setChecked(true);
    form->dt_Start->setTime(QTime(8, 0));
    form->dt_End->setTime(QTime(17, 0));
    const QDateTime now = QDateTime::currentDateTime();
    Clock::SetOffsetMs(now.msecsTo(QDateTime(now.date(), QTime(6, 0))));
    QTimer::singleShot(0, form, [form] { form->btn_StartClick(); }); // as a click, from the loop
    RunLoopFor(1000); // input 0, its query and the answer
    const QString outside = QStringLiteral("モード：時間指定（時間外）");
    if (!form->AutoChangeRunning() || form->txt_TimeMode->text() != outside) {
        std::fprintf(stderr, "idle_bench: the time-window mode is not waiting\n");
        return false;
    }
    const qsizetype framesBefore = rig.Switcher().Frames().size();
    const Cost cost = MeasureSpan(seconds);
    const qsizetype sent = rig.Switcher().Frames().size() - framesBefore;
    const bool stillOutside = form->txt_TimeMode->text() == outside;
    Print("waiting for the window, visible", cost, seconds,
          QStringLiteral(", frames sent %1, %2")
              .arg(sent)
              .arg(stillOutside ? QStringLiteral("shown outside")
                                : QStringLiteral("NOT shown outside")));
    form->btn_StopClick();
    Clock::SetOffsetMs(0);
    return sent == 0 && stillOutside;
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
    Print("port open, window visible", MeasureSpan(seconds), seconds);
    rig.Form()->hide();
    Print("port open, window hidden", MeasureSpan(seconds), seconds);
    return MeasureWaiting(rig, seconds) ? 0 : 1;
}
