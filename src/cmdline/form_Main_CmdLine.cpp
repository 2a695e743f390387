#include "ui/form_Main.h"

#include "cmdline/CmdLineParse.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"

#include <cstdio>

namespace {

// How long a run waits for its command to leave the port before it closes the port or
// ends. Long enough for a frame at 9600 baud many times over; short enough that a line
// held back by flow control cannot keep a scheduled run alive.
constexpr int kDrainTimeoutMs = 1000;

void DrainCommand() {
    if (mod_IF_ComPort != nullptr)
        mod_IF_ComPort->ApdComPort1->DrainOutput(kDrainTimeoutMs);
}

} // namespace

void TFormMain::DoProcess_ByParamStr() {
    const CmdLineParse::TResult result = CmdLineParse::Parse(f_Arguments);
    f_CmdLineParams = result.params;
    if (!result.ok) {
        if (!result.errorText.isEmpty())
            f_Log->OutputLogString(TLog::TypeError(),
                                   QStringLiteral("TFormMain_DoProcess_ByParamStr"),
                                   result.errorText);
        return;
    }
    // The data module does not exist yet: the run waits for the message loop.
    f_ShowAtStart = false;
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
    const QString proc = QStringLiteral("TFormMain_StartupProcess_ForCmdLineParams");
    // Whatever happens on the way, the run ends the process, and only the success record
    // earns status 0: an error escaping from here must not leave a hidden window running.
    f_ExitCode = 1;
    struct TEndRun {
        TFormMain* form;
        ~TEndRun() { form->ppm_ExitClick(); }
    } endRun{this};

    ReplaceModel(nullptr);
    if (mod_IF_ComPort == nullptr || !mod_IF_ComPort->OpenComPort(f_CmdLineParams.ComPortNum)) {
        // Before the record, which may fail in its turn.
        if (mod_IF_ComPort != nullptr)
            std::fprintf(stderr, "InCycler: %s\n",
                         mod_IF_ComPort->LastOpenFailure().toLocal8Bit().constData());
        f_Log->OutputLogString(TLog::TypeError(), proc, QStringLiteral("（COM）COMポートOPEN失敗"));
        return;
    }

    const bool power = f_CmdLineParams.CmdNameStr == QLatin1String("pwr");
    if (f_CmdLineParams.ModelStr == QLatin1String("rsx24p")) {
        ReplaceModel(new TRsx24p);
        if (power && f_CmdLineParams.PowerFlag) {
            f_Model->PowerOn();
            DrainCommand();
        } else if (power) {
            f_Model->PowerOff();
            // Closing discards what has not left the port yet.
            DrainCommand();
            mod_IF_ComPort->CloseComPort();
        } else {
            f_Model->SetInputSourceNum(f_CmdLineParams.InputSourceNum);
            DrainCommand();
        }
    } else if (f_CmdLineParams.ModelStr == QLatin1String("rsx24q")) {
        ReplaceModel(new TRsx24q);
        // The parse lets no power command through for this model.
        if (!power) {
            f_Model->SetInputSourceNum(f_CmdLineParams.InputSourceNum);
            DrainCommand();
        }
    }
    // The record says the command was handed to the line; the device is not asked.
    f_Log->OutputLogString(TLog::TypeInfo(), proc, QStringLiteral("（引数）引数実行成功"));
    f_ExitCode = 0;
}
