#include "ui/form_Main.h"

#include "cmdline/CmdLineParse.h"
#include "cmdline/OwnerClient.h"
#include "common/Errors.h"
#include "common/StandardError.h"
#include "control/ControlTexts.h"
#include "device/PortMap.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"

#include <QScopeGuard>

namespace {

// How long a run waits for its command to leave the port before it closes the port or
// ends. Long enough for a frame at 9600 baud many times over; short enough that a line
// held back by flow control cannot keep a scheduled run alive.
constexpr int kDrainTimeoutMs = 1000;

bool DrainCommand() {
    return mod_IF_ComPort != nullptr && mod_IF_ComPort->ApdComPort1->DrainOutput(kDrainTimeoutMs);
}

QString SendFailedText() {
    return QStringLiteral("（COM）コマンド送信失敗");
}

} // namespace

bool TFormMain::HandToOwner(const QString& proc) {
    if (!OwnerClient::SocketPresent(f_CmdLineParams.ComPortNum))
        return false;
    ControlProtocol::TRequest request;
    request.model = f_CmdLineParams.ModelStr;
    if (f_CmdLineParams.CmdNameStr == QLatin1String("pwr")) {
        request.command = ControlProtocol::TCommand::Power;
        request.on = f_CmdLineParams.PowerFlag;
    } else {
        request.command = ControlProtocol::TCommand::Select;
        request.input = f_CmdLineParams.InputSourceNum;
    }
    // The request leaves now: from here on the run ends with the owner's answer.
    f_CmdLineStage = TCmdLineStage::Decided;
    const OwnerClient::TAnswer answer =
        OwnerClient::Ask(f_CmdLineParams.ComPortNum, ControlProtocol::RequestLine(request));
    switch (answer.kind) {
    case OwnerClient::TKind::NoOwner:
        // A socket left by an owner that is gone, or put there by somebody else: the port's
        // own failure stands.
        return false;
    case OwnerClient::TKind::Refused:
        SayOnStandardError(answer.message);
        f_Log->OutputLogString(TLog::TypeError(), proc, ControlTexts::OpenFailedLog());
        return true;
    case OwnerClient::TKind::Failed:
    case OwnerClient::TKind::Answered:
        break;
    }
    if (answer.kind == OwnerClient::TKind::Failed ||
        !answer.reply.value(QLatin1String("ok")).toBool()) {
        SayOnStandardError(answer.message + QStringLiteral("; nothing was sent"));
        f_Log->OutputLogString(TLog::TypeError(), proc, SendFailedText());
        return true;
    }
    f_Log->OutputLogString(TLog::TypeInfo(), proc, QStringLiteral("（引数）引数実行成功"));
    f_ExitCode = 0;
    return true;
}

void TFormMain::DoProcess_ByParamStr() {
    const CmdLineParse::TResult result = CmdLineParse::Parse(f_Arguments);
    f_CmdLineParams = result.params;
    if (!result.ok) {
        if (!result.errorText.isEmpty())
            f_Log->OutputLogString(TLog::TypeError(), LogRules::ProcName(this, __func__),
                                   result.errorText);
        if (result.endsProcess) {
            // A command the run could never carry out: recorded, and the process ends
            // without its window, as every other one-shot run does.
            SayOnStandardError(QStringLiteral("the RSX-24Q has no power commands (see "
                                              "InCycler.log); nothing was sent"));
            f_ShowAtStart = false;
            f_ExitCode = 2;
            f_DoExit = true;
        }
        return;
    }
    // The data module does not exist yet: the run waits for the message loop.
    f_ShowAtStart = false;
    f_CmdLineStage = TCmdLineStage::Waiting;
    // An exit asked for during the start-up's log trim: the run never starts.
    if (!f_DoExit)
        tmr_StartupProcess_ForCmdLineParams->SetEnabled(true);
}

void TFormMain::tmr_StartupProcess_ForCmdLineParamsTimer() {
    if (Destroying())
        return;
    // Off before the run: the log lets pending events through while it appends.
    tmr_StartupProcess_ForCmdLineParams->SetEnabled(false);
    StartupProcess_ForCmdLineParams();
}

void TFormMain::StartupProcess_ForCmdLineParams() {
    const QString proc = LogRules::ProcName(this, __func__);
    // Whatever happens on the way, the run ends the process, and only the success record
    // earns status 0: an error escaping from here must not leave a hidden window running.
    f_CmdLineStage = TCmdLineStage::Running;
    f_ExitCode = 1;
    const auto endRun = qScopeGuard([this] { ppm_ExitClick(); });

    ReplaceModel(nullptr);
    const bool opened =
        mod_IF_ComPort != nullptr && mod_IF_ComPort->OpenComPort(f_CmdLineParams.ComPortNum);
    // The port-choice dialog lets events through: a signal handled there ends the run
    // before anything is sent, and the port's failure to open is then no failure of its own.
    if (f_ExitSignal != 0)
        return;
    // Held by another InCycler that serves it: the command goes out through that one.
    if (!opened && HandToOwner(proc))
        return;
    f_CmdLineStage = TCmdLineStage::Decided;
    if (!opened) {
        // Before the record, which may fail in its turn.
        if (mod_IF_ComPort != nullptr)
            SayOnStandardError(mod_IF_ComPort->LastOpenFailure());
        f_Log->OutputLogString(TLog::TypeError(), proc, ControlTexts::OpenFailedLog());
        return;
    }

    // The frame is handed over in one go, before the sending lets any event through, so
    // a signal can no longer stop it from here; it has left the port when the drain ends.
    bool sent = false;
    const bool power = f_CmdLineParams.CmdNameStr == QLatin1String("pwr");
    if (f_CmdLineParams.ModelStr == QLatin1String("rsx24p")) {
        ReplaceModel(new TRsx24p);
        if (power && f_CmdLineParams.PowerFlag) {
            sent = f_Model->PowerOn() && DrainCommand();
        } else if (power) {
            sent = f_Model->PowerOff() && DrainCommand();
            // Closing discards what has not left the port yet.
            mod_IF_ComPort->CloseComPort();
        } else {
            sent = f_Model->SetInputSourceNum(f_CmdLineParams.InputSourceNum) && DrainCommand();
        }
    } else if (f_CmdLineParams.ModelStr == QLatin1String("rsx24q")) {
        ReplaceModel(new TRsx24q);
        // The parse lets no power command through for this model.
        if (!power)
            sent = f_Model->SetInputSourceNum(f_CmdLineParams.InputSourceNum) && DrainCommand();
    }
    if (!sent) {
        // Held back by the line (CTS low), or the device went away: the command did not
        // reach the switcher, and the close has thrown away what was still queued.
        SayOnStandardError(QStringLiteral("%1: the command did not leave the port within %2 s "
                                          "(is the switcher on and the cable's CTS line "
                                          "connected?); nothing was sent")
                               .arg(PortMap::PortName(f_CmdLineParams.ComPortNum))
                               .arg(kDrainTimeoutMs / 1000));
        f_Log->OutputLogString(TLog::TypeError(), proc, SendFailedText());
        return;
    }
    // The record says the command left for the line; the device is not asked.
    f_Log->OutputLogString(TLog::TypeInfo(), proc, QStringLiteral("（引数）引数実行成功"));
    f_ExitCode = 0;
}
