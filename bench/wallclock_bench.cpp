// The time window against the process's own wall clock, with nothing shifted in the program:
// for runs under libfaketime (bench/faketime), where the clock the C library reports is the
// one being tested. Starts switching in the time-window mode (IN1 and IN3) at once and
// prints, by the process's clock, every select command the virtual switcher receives and
// every change of the time-mode text and every rotation tick, until the first switch after
// input 0 or the timeout.
//   wallclock_bench START END [timeout-seconds]   (START and END as HH:mm:ss; 60 s)

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
#include <QLabel>
#include <QListWidget>
#include <QRadioButton>
#include <QTimeEdit>
#include <QTimer>

#include <cstdio>

namespace {

QByteArray Stamp() {
    return Clock::Now().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz t")).toUtf8();
}

void Say(const QByteArray& what) {
    std::printf("%s  %s\n", Stamp().constData(), what.constData());
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TInCyclerApplication app(argc, argv);
    const QTime start = argc > 1 ? QTime::fromString(QString::fromLocal8Bit(argv[1])) : QTime();
    const QTime end = argc > 2 ? QTime::fromString(QString::fromLocal8Bit(argv[2])) : QTime();
    const int timeoutS = argc > 3 ? atoi(argv[3]) : 60;
    if (!start.isValid() || !end.isValid() || timeoutS <= 0) {
        std::fprintf(stderr, "usage: wallclock_bench START END [timeout-seconds]\n");
        return 2;
    }

    // The switcher as COM3, the log in a temporary directory, the window shown and COM3 picked.
    AppRig rig;
    TFormMain* form = rig.Form();
    VirtualSwitcher& sw = rig.Switcher();
    rig.SelectPort(3);
    for (int i = 0; i < form->clb_EnableSource->count(); ++i)
        form->clb_EnableSource->item(i)->setCheckState(i == 1 ? Qt::Unchecked : Qt::Checked);
    form->rb_Shitei->setChecked(true);
    form->dt_Start->setTime(start);
    form->dt_End->setTime(end);

    int result = 1;
    int selects = 0;
    QObject::connect(&sw, &VirtualSwitcher::FrameReceived, form, [&](const QByteArray& frame) {
        if (!frame.startsWith("SRC"))
            return;
        Say("received " + frame);
        if (++selects == 2) {
            result = 0;
            QTimer::singleShot(200, qApp, [] { QCoreApplication::exit(0); });
        }
    });
    QString shown;
    QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                     form, [&] {
                         if (form->txt_TimeMode->text() != shown) {
                             shown = form->txt_TimeMode->text();
                             Say("shown \"" + shown.toUtf8() + "\"");
                         }
                     });
    // Connected after the window's own handler: the interval the tick left.
    QObject::connect(form->tmr_RollSelectSource, &TWindowTimer::Timer, form, [form] {
        Say(QByteArray("tick; rotation timer ") +
            QByteArray::number(form->tmr_RollSelectSource->Interval()) + " ms");
    });
    QTimer::singleShot(0, form, [form] {
        Say("Start");
        form->btn_StartClick();
        Say(QByteArray("rotation timer ") +
            QByteArray::number(form->tmr_RollSelectSource->Interval()) + " ms");
    });
    QTimer::singleShot(timeoutS * 1000, qApp, [] {
        Say("timed out");
        QCoreApplication::exit(1);
    });
    app.exec();
    return result;
}
