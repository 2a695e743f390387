#include "ui/form_Main.h"

#include "ControlTexts.h"
#include "common/ErrorBox.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "ui/Widgets.h"

#include <QComboBox>

namespace {

// The power and input buttons open the port themselves when it went away since the last
// refresh; a failure is only logged, under the handler's own name (its __func__).
bool OpenOnDemand(TFormMain* form, TLog* log, const char* handler) {
    if (mod_IF_ComPort->Connected())
        return true;
    if (mod_IF_ComPort->OpenComPort(form->GetSelectedComPortNum()))
        return true;
    log->OutputLogString(TLog::TypeError(), LogRules::ProcName(form, handler),
                         ControlTexts::OpenFailedLog());
    return false;
}

} // namespace

void TFormMain::btn_ComPortStateClick() {
    if (!btn_ComPortState->Down()) {
        mod_IF_ComPort->CloseComPort();
        return;
    }
    // No port chosen yet: the refresh releases the button again.
    if (cmb_ComPortNum->currentText().isEmpty())
        return;
    if (OpenPortAndAsk())
        return;
    ErrorBox::Show(this, ControlTexts::ErrorCaption(),
                   tr("COMポートオープンに失敗しました。\r\n"
                      "ケーブル接続やポート番号をご確認ください。\r\n") +
                       mod_IF_ComPort->LastOpenFailure());
    // Only once the operator has dismissed the box.
    f_Log->OutputLogString(TLog::TypeError(), LogRules::ProcName(this, __func__),
                           ControlTexts::OpenFailedLog());
}

bool TFormMain::OpenPortAndAsk() {
    if (!mod_IF_ComPort->OpenComPort(GetSelectedComPortNum()))
        return false;
    if (auto* modelA = dynamic_cast<TRsx24p*>(f_Model))
        modelA->RequestPowerState();
    tmr_CheckSource->SetEnabled(true);
    return true;
}

void TFormMain::btn_PowerStateClick() {
    if (!OpenOnDemand(this, f_Log, __func__))
        return;
    // The click has already flipped the button: its new state is what the operator wants.
    const bool wantOn = btn_PowerState->Down();
    const bool reportedOn = f_Model->PowerState() == psPowerOn;
    if (wantOn && !reportedOn)
        f_Model->PowerOn();
    else if (!wantOn && reportedOn)
        f_Model->PowerOff();
    // Asked for in every case, so that the button comes to show what the device reports.
    tmr_CheckPower->SetEnabled(true);
}

void TFormMain::btn_Source_xxClick(TToggleButton* Sender) {
    if (!OpenOnDemand(this, f_Log, __func__))
        return;
    const int sourceNum = Sender->Down() ? Sender->Tag() : 0;
    f_Model->SetInputSourceNum(sourceNum);
    tmr_CheckSource->SetEnabled(true);
}

void TFormMain::tmr_CheckSourceTimer() {
    if (Destroying())
        return;
    // Off before sending: the send lets the loop run, and the poll must not nest in itself.
    tmr_CheckSource->SetEnabled(false);
    f_Model->RequestInputSourceNum();
}

void TFormMain::tmr_CheckPowerTimer() {
    if (Destroying())
        return;
    tmr_CheckPower->SetEnabled(false);
    if (auto* modelA = dynamic_cast<TRsx24p*>(f_Model))
        modelA->RequestPowerState();
}
