#include "form_Main.h"

#include "EnableGroupControls.h"
#include "ViewWrites.h"
#include "Widgets.h"
#include "common/ErrorBox.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>

using namespace ViewWrites;

void TFormMain::ApplicationEvents1Idle() {
    // Runs whenever the event loop is about to wait (the dispatcher's aboutToBlock), so once
    // after every burst of events: a reply reaches the buttons at the first idle moment after
    // the tick that took it in.
    // A box's own event loop announces idle moments too, in the middle of the handler that
    // showed it: the window catches up at the first refresh after that handler has finished.
    if (f_Destroying || !isVisible() || ErrorBox::IsOpen())
        return;
    const bool running = f_AutoChangeRunning;
    const bool portOpen = mod_IF_ComPort != nullptr && mod_IF_ComPort->Connected();
    UpdateRunControlsView(running, portOpen);
    UpdateTermGroupView(running);
    UpdateAutoChangeGroupView(running);
    UpdateRunStateView(running);
    UpdateComPortStateView(portOpen);
    UpdatePowerStateView(portOpen);
    UpdateSourceStateView(portOpen);
}

void TFormMain::UpdateRunControlsView(bool running, bool portOpen) {
    if (portOpen) {
        SetEnabled(btn_Start, true);
        SetEnabled(btn_Stop, true);
        SetEnabled(cmb_ComPortNum, false);
        SetEnabled(cmb_Model, false);
        if (running) {
            SetEnabled(btn_ComPortState, false);
        } else {
            SetEnabled(btn_ComPortState, true);
            btn_ComPortState->SetDown(true);
        }
    } else {
        SetEnabled(btn_Start, false);
        // The port can go away under a running rotation (device unplugged): Stop must
        // stay within reach, or only exiting would end the switching.
        SetEnabled(btn_Stop, running);
        // Stopped with the port gone: the port button is the only way back, so it must not
        // stay disabled as the running state left it.
        if (!running)
            SetEnabled(btn_ComPortState, true);
        btn_ComPortState->SetDown(false);
        SetEnabled(cmb_ComPortNum, true);
        SetEnabled(cmb_Model, true);
    }
}

void TFormMain::UpdateTermGroupView(bool running) {
    EnableGroupControls(grp_Term, !running);
}

void TFormMain::UpdateAutoChangeGroupView(bool running) {
    EnableGroupControls(grp_AutoChange, !running);
}

void TFormMain::UpdateRunStateView(bool running) {
    if (running) {
        SetText(txt_RunState, tr("自動切り替え実行中"));
        SetBold(txt_RunState, true);
        SetTextColor(txt_RunState, QPalette::Link);
        switch (f_Mode_AutoSelectSource) {
        case mdSetTime:
            SetText(txt_TimeMode, IsInSetTime() ? tr("モード：時間指定（時間内実行中）")
                                                : tr("モード：時間指定（時間外）"));
            break;
        case mdEveryTime:
            SetText(txt_TimeMode, tr("モード：常時切り替え"));
            break;
        case mdNone:
            break;
        }
    } else {
        SetText(txt_RunState, tr("自動切り替え停止中"));
        SetBold(txt_RunState, false);
        SetTextColor(txt_RunState, QPalette::WindowText);
        SetText(txt_TimeMode, QStringLiteral("------------------"));
    }
}

void TFormMain::UpdateComPortStateView(bool portOpen) {
    if (portOpen) {
        SetText(btn_ComPortState, QStringLiteral("Close"));
    } else {
        // Not only a view: with the port closed, every refresh writes the model, forgetting
        // the reported input (0, unknown). The input buttons then show none, and a rotation
        // that reopens the port goes on from the first listed input. A hidden window does not
        // refresh, and leaves the model as it is.
        if (f_Model != nullptr)
            f_Model->SetSelectedSourceNum(0);
        SetText(btn_ComPortState, QStringLiteral("Open"));
    }
}

void TFormMain::UpdatePowerStateView(bool portOpen) {
    if (dynamic_cast<TRsx24p*>(f_Model) != nullptr) {
        if (!portOpen) {
            SetEnabled(btn_PowerState, false);
            return;
        }
        SetEnabled(btn_PowerState, true);
        const bool on = f_Model->PowerState() == psPowerOn;
        SetText(btn_PowerState, on ? QStringLiteral("ON") : QStringLiteral("OFF"));
        btn_PowerState->SetDown(on);
    } else if (dynamic_cast<TRsx24q*>(f_Model) != nullptr) {
        btn_PowerState->SetDown(false);
        SetEnabled(btn_PowerState, false);
    }
}

void TFormMain::UpdateSourceStateView(bool portOpen) {
    TToggleButton* const sources[] = {btn_Source_01, btn_Source_02, btn_Source_03};
    if (!portOpen) {
        for (TToggleButton* b : sources)
            SetEnabled(b, false);
        return;
    }
    for (TToggleButton* b : sources)
        SetEnabled(b, true);
    // The reported input's button, by its place in the row: only 1 to 3 have one, any other
    // report leaves all three up.
    const int reported = f_Model != nullptr ? f_Model->SelectedSourceNum() : 0;
    if (reported >= 1 && reported <= 3) {
        sources[reported - 1]->SetDown(true);
    } else {
        for (TToggleButton* b : sources)
            b->SetDown(false);
    }
}
