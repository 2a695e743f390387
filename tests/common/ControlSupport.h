#pragma once

#include "AppRig.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"

#include <QComboBox>
#include <QListWidget>
#include <QRadioButton>
#include <QTest>
#include <QTimeEdit>

// What the switching-control suites share: the refresh helper, the frames the switcher
// received, and the settings a rotation is started from.
namespace ControlSupport {

// The idle refresh runs when the loop is about to block, which QTRY's processEvents never
// is; conditions on what the window shows run it themselves.
inline bool Refreshed(TFormMain* form) {
    form->ApplicationEvents1Idle();
    return true;
}

inline QByteArrayList FramesWith(VirtualSwitcher& sw, const QByteArray& prefix) {
    QByteArrayList out;
    for (const QByteArray& f : sw.Frames())
        if (f.startsWith(prefix))
            out.append(f);
    return out;
}

// Select commands of model A, without the power and query commands around them.
inline QByteArrayList Selects(VirtualSwitcher& sw) {
    QByteArrayList out;
    for (const QByteArray& f : sw.Frames())
        if (f.startsWith("SRC"))
            out.append(f);
    return out;
}

// Milliseconds between the first frame equal to `a` and the first later frame equal to `b`,
// from the switcher's receive timestamps; -1 when either is missing.
inline double GapMs(VirtualSwitcher& sw, const QByteArray& a, const QByteArray& b) {
    qint64 at = -1;
    for (const VirtualSwitcher::TimedFrame& f : sw.TimedFrames()) {
        if (at < 0 && f.text == a)
            at = f.monotonicNs;
        else if (at >= 0 && f.text == b)
            return double(f.monotonicNs - at) / 1e6;
    }
    return -1;
}

inline int LogRecords(AppRig& rig, const QString& proc) {
    int n = 0;
    for (const QString& line : rig.LogLines())
        if (line.contains(QStringLiteral(",エラー,%1,（COM）COMポートOPEN失敗").arg(proc)))
            ++n;
    return n;
}

// The switching settings, as the operator sets them before Start.
inline void SetInputs(TFormMain* form, const QList<int>& inputs) {
    for (int i = 0; i < form->clb_EnableSource->count(); ++i)
        form->clb_EnableSource->item(i)->setCheckState(inputs.contains(i + 1) ? Qt::Checked
                                                                              : Qt::Unchecked);
}

inline void SetEveryTime(TFormMain* form, const QList<int>& inputs) {
    SetInputs(form, inputs);
    form->rb_Jouji->setChecked(true);
    form->cmb_IntervalUnit->setCurrentIndex(0);
    form->cmb_IntervalUnitChange();
    form->spn_Interval->SetValue(5);
}

inline void SetWindow(TFormMain* form, const QList<int>& inputs, QTime start, QTime end) {
    SetEveryTime(form, inputs);
    form->rb_Shitei->setChecked(true);
    form->dt_Start->setTime(start);
    form->dt_End->setTime(end);
}

// Opens the port with the button and waits until the device's answers to the opening
// queries have come in and no poll is pending.
inline bool OpenAndSettle(AppRig& rig) {
    if (!rig.OpenPortByButton(3))
        return false;
    TFormMain* form = rig.Form();
    return QTest::qWaitFor(
        [&] {
            return !form->tmr_CheckSource->Enabled() && !form->tmr_CheckPower->Enabled() &&
                   form->Model()->SelectedSourceNum() == rig.Switcher().SelectedInput() &&
                   rig.Module()->RcvBuff().isEmpty() && Refreshed(form) &&
                   form->btn_Start->isEnabled();
        },
        5000);
}

// Waits until the pending input query has gone out and its answer has been taken in.
inline bool SettleSourcePoll(AppRig& rig) {
    TFormMain* form = rig.Form();
    return QTest::qWaitFor(
        [&] {
            return !form->tmr_CheckSource->Enabled() &&
                   (rig.Switcher().Mute() ||
                    form->Model()->SelectedSourceNum() == rig.Switcher().SelectedInput()) &&
                   rig.Module()->RcvBuff().isEmpty();
        },
        5000);
}

// Ticks the inputs for every-time switching, opens the port, presses "開始" and waits until
// the first switch's input query has been answered.
inline bool StartRotation(AppRig& rig, const QList<int>& inputs) {
    TFormMain* form = rig.Form();
    SetEveryTime(form, inputs);
    if (!OpenAndSettle(rig))
        return false;
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    return form->AutoChangeRunning() && SettleSourcePoll(rig);
}

} // namespace ControlSupport
