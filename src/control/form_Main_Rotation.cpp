#include "ui/form_Main.h"

#include "ControlTexts.h"
#include "SwitchingRules.h"
#include "TimeWindow.h"
#include "app/ServiceNotify.h"
#include "common/ErrorBox.h"
#include "device/PortMap.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "ui/Widgets.h"

#include <QComboBox>
#include <QListWidget>
#include <QRadioButton>
#include <QScopeGuard>
#include <QTimeEdit>

void TFormMain::btn_StartClick() {
    if (f_AutoChangeRunning)
        return;
    if (!mod_IF_ComPort->OpenComPort(GetSelectedComPortNum())) {
        f_Log->OutputLogString(TLog::TypeError(), LogRules::ProcName(this, __func__),
                               ControlTexts::OpenFailedLog());
        return;
    }
    GetAutoSelectSettingParam(f_AutoSelectParam);
    const QList<int>& list = *f_AutoSelectParam.AutoSelectSource_List;
    if (list.size() < 2) {
        ErrorBox::Show(this, ControlTexts::ErrorCaption(), ControlTexts::TooFewInputsShown());
        return;
    }
    // Writing a command lets the loop run, so the operator's Stop may be handled in the middle
    // of Start; it must win over the arming below, or the rotation would go on after Stop.
    const unsigned stopClicksBefore = f_StopClicks;
    if (auto* modelA = dynamic_cast<TRsx24p*>(f_Model);
        modelA && modelA->PowerState() != psPowerOn) {
        modelA->PowerOn();
        tmr_CheckPower->SetEnabled(true);
    }
    switch (f_Mode_AutoSelectSource) {
    case mdEveryTime:
        AutoSelectSource(list.first());
        tmr_CheckSource->SetEnabled(true);
        tmr_RollSelectSource->SetInterval(static_cast<qint32>(f_AutoSelectParam.Interval));
        tmr_RollSelectSource->SetEnabled(true);
        break;
    case mdSetTime:
        TimeWindow::Start(*this);
        break;
    case mdNone:
        break;
    }
    if (f_StopClicks != stopClicksBefore) {
        DisarmRotation();
        return;
    }
    f_AutoChangeRunning = true;
}

void TFormMain::btn_StopClick() {
    ++f_StopClicks;
    f_PowerOnAfterReconnection = false;
    DisarmRotation();
    f_AutoChangeRunning = false;
}

void TFormMain::DisarmRotation() {
    tmr_RollSelectSource->SetEnabled(false);
    f_WindowOpeningAlarm->Disarm();
}

void TFormMain::tmr_RollSelectSourceTimer() {
    tmr_RollSelectSource->SetEnabled(false);
    if (Destroying())
        return;
    // Re-armed however the switch ends, errors included, but only while switching still
    // runs: a Stop handled inside this tick (the command writing lets the loop run) must
    // not be undone by the re-arming.
    const auto rearm = qScopeGuard([this] {
        if (f_AutoChangeRunning && !f_Destroying)
            tmr_RollSelectSource->SetEnabled(true);
    });
    // Lost since the last tick: the input it reported then is no ground for the next choice.
    if (!mod_IF_ComPort->Connected())
        f_Model->Forget();

    switch (f_Mode_AutoSelectSource) {
    case mdEveryTime:
        AutoSelectSource(GetNextSourceNum());
        break;
    case mdSetTime:
        TimeWindow::Tick(*this);
        break;
    case mdNone:
        break;
    }
}

void TFormMain::GetAutoSelectSettingParam(TAutoSelectSettingParam& param) {
    if (rb_Jouji->isChecked())
        SetMode_AutoSelectSource(mdEveryTime);
    else if (rb_Shitei->isChecked())
        SetMode_AutoSelectSource(mdSetTime);

    QList<int>& list = *param.AutoSelectSource_List;
    list.clear();
    const int count = f_Model->GetMaxSourceCount();
    for (int i = 0; i < count; ++i) {
        const QListWidgetItem* item = clb_EnableSource->item(i);
        if (item != nullptr && item->checkState() == Qt::Checked)
            list.append(i + 1);
    }

    if (const auto interval =
            SwitchingRules::IntervalMs(spn_Interval->Value(), cmb_IntervalUnit->currentIndex()))
        param.Interval = *interval;

    if (f_Mode_AutoSelectSource == mdSetTime) {
        param.StartTime = SwitchingRules::TimeOfDay(dt_Start->time());
        param.EndTime = SwitchingRules::TimeOfDay(dt_End->time());
    }
}

void TFormMain::SetMode_AutoSelectSource(TMode_AutoSelectSource mode) {
    f_Mode_AutoSelectSource = mode;
}

int TFormMain::GetNextSourceNum() {
    return SwitchingRules::NextSourceNum(*f_AutoSelectParam.AutoSelectSource_List,
                                         f_Model->SelectedSourceNum());
}

void TFormMain::AutoSelectSource(int sourceNum) {
    if (Destroying())
        return;
    if (!mod_IF_ComPort->Connected()) {
        if (!mod_IF_ComPort->OpenComPort(GetSelectedComPortNum())) {
            ServiceNotify::Status(
                QStringLiteral("waiting for the port: %1").arg(mod_IF_ComPort->LastOpenFailure()));
            // Retried at every following tick, one record each.
            f_Log->OutputLogString(TLog::TypeError(), LogRules::ProcName(this, __func__),
                                   ControlTexts::OpenFailedLog());
            return;
        }
        AskAfterReconnection();
    }
    f_Model->SetInputSourceNum(sourceNum);
    // The next choice is made from what the device reports, not from what was asked for.
    tmr_CheckSource->SetEnabled(true);
}

void TFormMain::AskAfterReconnection() {
    ServiceNotify::Status(QStringLiteral("rotating on %1 (%2), the port opened again")
                              .arg(PortMap::PortName(GetSelectedComPortNum()),
                                   mod_IF_ComPort->ApdComPort1->DevicePath()));
    // Whatever the device said before the loss, it may have been switched off or unplugged
    // from its power meanwhile: nothing is known until it answers.
    f_Model->Forget();
    if (auto* modelA = dynamic_cast<TRsx24p*>(f_Model)) {
        f_PowerOnAfterReconnection = f_AutoChangeRunning;
        modelA->RequestPowerState();
    }
    // The input is asked for after the select that follows, as after every switch.
}

void TFormMain::PowerReported() {
    if (!f_PowerOnAfterReconnection)
        return;
    f_PowerOnAfterReconnection = false;
    auto* modelA = dynamic_cast<TRsx24p*>(f_Model);
    if (modelA == nullptr || !f_AutoChangeRunning || Destroying() ||
        modelA->PowerState() != psPowerOff)
        return;
    modelA->PowerOn();
    tmr_CheckPower->SetEnabled(true);
}
