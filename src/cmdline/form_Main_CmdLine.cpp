#include "ui/form_Main.h"

// Placeholder until the command-line mode lands.
void TFormMain::DoProcess_ByParamStr() {}
void TFormMain::tmr_StartupProcess_ForCmdLineParamsTimer() {}
void TFormMain::StartupProcess_ForCmdLineParams() {}
