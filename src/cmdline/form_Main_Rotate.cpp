#include "ui/form_Main.h"

#include "app/ConnectReported.h"
#include "app/ServiceNotify.h"
#include "cmdline/ProgramOptions.h"
#include "common/StandardError.h"
#include "control/ControlTexts.h"
#include "device/PortMap.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "ui/Widgets.h"

#include <QComboBox>
#include <QListWidget>
#include <QRadioButton>
#include <QTimeEdit>

void TFormMain::SetRotateParams(const TRotateParams& params) {
    f_RotateParams = params;
    f_ShowAtStart = false;
    // The data module does not exist yet: the rotation waits for the message loop.
    tmr_StartupProcess_ForRotateParams->SetEnabled(true);
}

void TFormMain::tmr_StartupProcess_ForRotateParamsTimer() {
    if (Destroying())
        return;
    tmr_StartupProcess_ForRotateParams->SetEnabled(false);
    StartupProcess_ForRotateParams();
}

void TFormMain::ApplyRotateParams() {
    const TRotateParams& params = f_RotateParams;
    // The model list is usable only while the port is closed.
    if (!mod_IF_ComPort->Connected() && cmb_Model->currentIndex() != params.ModelIndex) {
        cmb_Model->setCurrentIndex(params.ModelIndex);
        cmb_ModelChange();
    }
    // A port that is not plugged in yet is not in a freshly loaded list: it is entered as
    // the list's fixed entries are.
    const QString port = PortMap::PortName(params.ComPortNum);
    if (cmb_ComPortNum->findText(port) < 0)
        cmb_ComPortNum->addItem(port);
    cmb_ComPortNum->setCurrentIndex(cmb_ComPortNum->findText(port));

    // --serve leaves the rotation's settings to the operator and the served requests.
    if (params.Start)
        ApplyRotationSettings(params, true, true, true);
}

void TFormMain::ApplyRotationSettings(const TRotateParams& params, bool inputs, bool interval,
                                      bool window) {
    if (window) {
        (params.TimeWindow ? rb_Shitei : rb_Jouji)->setChecked(true);
        if (params.TimeWindow) {
            dt_Start->setTime(params.StartTime);
            dt_End->setTime(params.EndTime);
        }
    }
    if (interval) {
        cmb_IntervalUnit->setCurrentIndex(params.IntervalUnitIndex);
        cmb_IntervalUnitChange();
        spn_Interval->SetValue(params.IntervalValue);
    }
    if (inputs) {
        for (int i = 0; i < clb_EnableSource->count(); ++i)
            clb_EnableSource->item(i)->setCheckState(params.Inputs.contains(i + 1) ? Qt::Checked
                                                                                   : Qt::Unchecked);
    }
}

void TFormMain::StartupProcess_ForRotateParams() {
    // An operator who started a rotation of their own while the port was missing keeps it.
    if (f_AutoChangeRunning || f_DoExit)
        return;
    ApplyRotateParams();
    if (OpenPortAndAsk()) {
        f_RotateOpenFailureSaid = false;
        if (!f_RotateParams.Start) {
            ServeUntilLost();
            return;
        }
        btn_StartClick();
        if (f_AutoChangeRunning) {
            SayReady(QStringLiteral("rotating on"));
            return;
        }
    } else if (!f_RotateOpenFailureSaid) {
        // At boot the adapter may appear after the program: said once, then tried quietly.
        f_RotateOpenFailureSaid = true;
        const QString waiting = QStringLiteral("%1; trying again every %2 s")
                                    .arg(mod_IF_ComPort->LastOpenFailure())
                                    .arg(kRotateRetryMs / 1000);
        SayOnStandardError(waiting);
        // Started as far as it can be: what it waits for is in the status line.
        ServiceNotify::Ready(QStringLiteral("waiting for the port: ") + waiting);
        f_Log->OutputLogString(TLog::TypeError(), LogRules::ProcName(this, __func__),
                               ControlTexts::OpenFailedLog());
    }
    // Asked to end while the record was written: nothing is tried again.
    if (f_DoExit || Destroying())
        return;
    tmr_StartupProcess_ForRotateParams->SetInterval(kRotateRetryMs);
    tmr_StartupProcess_ForRotateParams->SetEnabled(true);
}

void TFormMain::SayReady(const QString& doing) {
    const QString ready = QStringLiteral("%1 %2 (%3): %4")
                              .arg(doing, PortMap::PortName(f_RotateParams.ComPortNum),
                                   mod_IF_ComPort->ApdComPort1->DevicePath(),
                                   ProgramOptions::Describe(f_RotateParams));
    SayOnStandardError(ready);
    ServiceNotify::Ready(ready);
}

void TFormMain::ServeUntilLost() {
    SayReady(QStringLiteral("serving"));
    if (f_ServeLossFollowed)
        return;
    f_ServeLossFollowed = true;
    // The interval's limits are the window's first show's work; a window that is never shown
    // would otherwise offer a rotation request an interval of 1 s.
    if (!f_Visible)
        ApplyIntervalUnit();
    // Without a rotation nothing else opens the port again: a line that went away is waited
    // for as at start. A close that somebody asked for is left as it is.
    ConnectReported(mod_IF_ComPort->ApdComPort1, &TApdComPort::Lost, this, [this] {
        if (f_AutoChangeRunning || f_DoExit || Destroying())
            return;
        // Whatever the device said before, it may be off when it is back: nothing is known
        // until it answers again.
        f_Model->Forget();
        tmr_StartupProcess_ForRotateParams->SetInterval(kRotateRetryMs);
        tmr_StartupProcess_ForRotateParams->SetEnabled(true);
    });
}
