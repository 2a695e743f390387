#include "ui/form_Main.h"

#include "SwitchingRules.h"
#include "TimeWindow.h"
#include "common/Clock.h"
#include "common/WallClockAlarm.h"
#include "device/cls_Model.h"

#include <QTimeZone>

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

// Milliseconds from now to the next change of the local clock's offset from UTC (daylight
// saving), if the system's zone has one ahead.
std::optional<qint64> MsToOffsetChange(const QDateTime& now) {
    const QTimeZone zone = QTimeZone::systemTimeZone();
    if (!zone.hasTransitions())
        return std::nullopt;
    const QDateTime next = zone.nextTransition(now).atUtc;
    const qint64 ms = next.isValid() ? now.msecsTo(next) : 0;
    return ms > 0 ? std::optional<qint64>(ms) : std::nullopt;
}

// The wait outside the window: one firing of the rotation timer when the window opens (the
// tick then decides, as every tick does), instead of a look at the clock every few ms.
// The rotation timer counts on the monotonic clock; the alarm behind it wakes the tick at
// once if the wall clock is set meanwhile, or has run on while the machine was suspended.
// It is aimed a little after the timer, so that an undisturbed wait ends in one wake-up.
void SleepUntilWindowOpens(TFormMain& form) {
    constexpr qint64 kAlarmAfterTimerMs = 500;
    const TAutoSelectSettingParam& param = form.AutoSelectParam();
    const QDateTime now = Clock::Now();
    const qint32 sleep = SwitchingRules::WaitingSleepMs(
        param.StartTime, param.EndTime, now.time().msecsSinceStartOfDay(), MsToOffsetChange(now));
    form.tmr_RollSelectSource->SetInterval(sleep);
    form.WindowOpeningAlarm()->Arm(sleep + kAlarmAfterTimerMs);
}

} // namespace

void TFormMain::WindowOpeningAlarmDue() {
    // The rotation timer's countdown no longer measures the wait: the tick looks now.
    if (Destroying() || !f_AutoChangeRunning || f_Mode_AutoSelectSource != mdSetTime ||
        !tmr_RollSelectSource->Enabled())
        return;
    tmr_RollSelectSource->SetInterval(SwitchingRules::AtOnceMs);
}

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
    SleepUntilWindowOpens(form);
    form.tmr_RollSelectSource->SetEnabled(true);
}

void Tick(TFormMain& form) {
    const TAutoSelectSettingParam& param = form.AutoSelectParam();
    // Whatever woke this tick, the wait (if any) is over; a closed window starts a new one.
    form.WindowOpeningAlarm()->Disarm();
    if (!form.IsInSetTime()) {
        SleepUntilWindowOpens(form);
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
