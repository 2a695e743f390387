#include "ui/form_Main.h"

// Placeholder until manual control lands.
void TFormMain::btn_ComPortStateClick() {}
void TFormMain::btn_PowerStateClick() {}
void TFormMain::btn_Source_xxClick(TToggleButton*) {}
void TFormMain::tmr_CheckSourceTimer() {}
void TFormMain::tmr_CheckPowerTimer() {}
