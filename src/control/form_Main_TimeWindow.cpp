#include "ui/form_Main.h"

#include "SwitchingRules.h"
#include "TimeWindow.h"
#include "common/Clock.h"
#include "device/cls_Model.h"

namespace {

double NowTimeOfDay() {
    return SwitchingRules::TimeOfDay(Clock::Now());
}

// When less than one interval remains, the switch just made is the window's last: the timer
// then fires a few seconds after the end, when the window is closed.
void ShortenForWindowEnd(TFormMain& form, double t) {
    const TAutoSelectSettingParam& param = form.AutoSelectParam();
    const qint64 secondsToEnd = form.GetSecondsToEndTime(t);
    if (const auto delay = SwitchingRules::LastSwitchDelay(param.Interval, secondsToEnd))
        form.tmr_RollSelectSource->SetInterval(*delay);
}

} // namespace

bool TFormMain::IsInSetTime() {
    return SwitchingRules::IsInWindow(f_AutoSelectParam.StartTime, f_AutoSelectParam.EndTime,
                                      NowTimeOfDay());
}

qint64 TFormMain::GetSecondsToEndTime(double t) {
    return SwitchingRules::SecondsToEndTime(f_AutoSelectParam.EndTime, t);
}

qint32 TFormMain::GetFirstIntervalForSetTime(double t) {
    // Read after t, and after the first select command has been written.
    const int m = Clock::Now().time().msec();
    return SwitchingRules::FirstIntervalForSetTime(
        f_AutoSelectParam.StartTime, f_AutoSelectParam.EndTime, f_AutoSelectParam.Interval, t, m);
}

namespace TimeWindow {

void Start(TFormMain& form) {
    const TAutoSelectSettingParam& param = form.AutoSelectParam();
    const double t = NowTimeOfDay();
    if (form.IsInSetTime()) {
        form.AutoSelectSource(param.AutoSelectSource_List->first());
        form.tmr_CheckSource->SetEnabled(true);
        form.tmr_RollSelectSource->SetInterval(form.GetFirstIntervalForSetTime(t));
        form.tmr_RollSelectSource->SetEnabled(true);
        ShortenForWindowEnd(form, t);
        return;
    }
    // Outside the window no input is wanted until it opens. The port was opened by Start
    // a moment ago.
    form.Model()->SetInputSourceNum(0);
    form.tmr_CheckSource->SetEnabled(true);
    form.tmr_RollSelectSource->SetInterval(10);
    form.tmr_RollSelectSource->SetEnabled(true);
}

void Tick(TFormMain& form) {
    const TAutoSelectSettingParam& param = form.AutoSelectParam();
    if (!form.IsInSetTime()) {
        form.tmr_RollSelectSource->SetInterval(10);
        return;
    }
    const double t = NowTimeOfDay();
    form.tmr_RollSelectSource->SetInterval(static_cast<qint32>(param.Interval));
    if (SwitchingRules::RestartsRotation(param.StartTime, t)) {
        // The window's first firing starts the rotation over from the first input.
        form.AutoSelectSource(param.AutoSelectSource_List->first());
        form.tmr_CheckSource->SetEnabled(true);
    } else {
        form.AutoSelectSource(form.GetNextSourceNum());
    }
    ShortenForWindowEnd(form, t);
}

} // namespace TimeWindow
