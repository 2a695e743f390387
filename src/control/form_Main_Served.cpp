#include "ui/form_Main.h"

#include "ControlTexts.h"
#include "SwitchingRules.h"
#include "device/PortMap.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"

#include <QCoreApplication>

namespace {

QString ModelName(bool modelB) {
    return modelB ? QStringLiteral("RSX-24Q") : QStringLiteral("RSX-24P");
}

} // namespace

ControlProtocol::TOwnerState TFormMain::OwnerState() {
    ControlProtocol::TOwnerState state;
    state.pid = QCoreApplication::applicationPid();
    state.port = PortMap::PortName(mod_IF_ComPort->ApdComPort1->ComNumber());
    state.device = mod_IF_ComPort->ApdComPort1->DevicePath();
    state.model = dynamic_cast<TRsx24q*>(f_Model) != nullptr ? QStringLiteral("rsx24q")
                                                             : QStringLiteral("rsx24p");
    state.power = f_Model->PowerState();
    state.input = f_Model->SelectedSourceNum();
    state.running = f_AutoChangeRunning;

    TAutoSelectSettingParam shown = f_AutoSelectParam;
    TMode_AutoSelectSource mode = f_Mode_AutoSelectSource;
    QList<int> list;
    if (!f_AutoChangeRunning) {
        // What 開始 would start with, read as Start reads it; the last run's mode stays.
        shown.AutoSelectSource_List = &list;
        GetAutoSelectSettingParam(shown);
        std::swap(mode, f_Mode_AutoSelectSource);
    }
    state.timeWindow = mode == mdSetTime;
    state.inputs = *shown.AutoSelectSource_List;
    state.intervalMs = shown.Interval;
    if (state.timeWindow) {
        state.start =
            QTime::fromMSecsSinceStartOfDay(int(SwitchingRules::MsOfDay(shown.StartTime)));
        state.end = QTime::fromMSecsSinceStartOfDay(int(SwitchingRules::MsOfDay(shown.EndTime)));
        state.windowOpen = f_AutoChangeRunning && IsInSetTime();
    }
    return state;
}

ControlProtocol::TOutcome TFormMain::ServeCommand(const ControlProtocol::TRequest& request,
                                                  QString* why) {
    const bool modelB = dynamic_cast<TRsx24q*>(f_Model) != nullptr;
    const bool wantsB = request.model == QLatin1String("rsx24q");
    if (!request.model.isEmpty() && modelB != wantsB) {
        *why =
            QStringLiteral("it drives an %1, not an %2").arg(ModelName(modelB), ModelName(wantsB));
        return ControlProtocol::TOutcome::WrongModel;
    }
    if (request.command == ControlProtocol::TCommand::Power && modelB) {
        *why = QStringLiteral("the RSX-24Q has no power commands");
        return ControlProtocol::TOutcome::WrongModel;
    }
    if (!mod_IF_ComPort->Connected()) {
        *why = QStringLiteral("the port is no longer open");
        return ControlProtocol::TOutcome::NotSent;
    }
    if (request.command == ControlProtocol::TCommand::Rotation)
        return ServeRotation(request, why);
    // As the buttons: the command, then the poll that lets the window and the rotation follow
    // what the device reports.
    bool sent = false;
    if (request.command == ControlProtocol::TCommand::Select) {
        sent = f_Model->SetInputSourceNum(request.input);
        tmr_CheckSource->SetEnabled(true);
    } else {
        sent = request.on ? f_Model->PowerOn() : f_Model->PowerOff();
        tmr_CheckPower->SetEnabled(true);
    }
    if (!sent)
        *why = QStringLiteral("the port was lost while the command was written");
    return sent ? ControlProtocol::TOutcome::Sent : ControlProtocol::TOutcome::NotSent;
}

ControlProtocol::TOutcome TFormMain::ServeRotation(const ControlProtocol::TRequest& request,
                                                   QString* why) {
    if (!request.running) {
        if (f_AutoChangeRunning)
            btn_StopClick();
        return ControlProtocol::TOutcome::Sent;
    }
    // Checked before anything changes, as Start checks the controls: what is left out is
    // taken as the controls hold it.
    QList<int> inputs = request.rotation.Inputs;
    if (!request.hasInputs) {
        TAutoSelectSettingParam held = f_AutoSelectParam;
        held.AutoSelectSource_List = &inputs;
        const TMode_AutoSelectSource mode = f_Mode_AutoSelectSource;
        GetAutoSelectSettingParam(held);
        f_Mode_AutoSelectSource = mode;
    }
    if (inputs.size() < 2) {
        *why = ControlTexts::TooFewInputs();
        return ControlProtocol::TOutcome::Refused;
    }
    // A rotation that runs is replaced: stopped, then started with the new settings.
    if (f_AutoChangeRunning)
        btn_StopClick();
    ApplyRotationSettings(request.rotation, request.hasInputs, request.hasEvery,
                          request.hasBetween);
    btn_StartClick();
    if (f_AutoChangeRunning)
        return ControlProtocol::TOutcome::Sent;
    *why = mod_IF_ComPort->Connected() ? QStringLiteral("the rotation did not start")
                                       : QStringLiteral("the port was lost while it started");
    return ControlProtocol::TOutcome::NotSent;
}
