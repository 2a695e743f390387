#include "ui/form_Main.h"

// Placeholder until rotation lands.
void TFormMain::btn_StartClick() {}
void TFormMain::btn_StopClick() {}
void TFormMain::tmr_RollSelectSourceTimer() {}
void TFormMain::GetAutoSelectSettingParam(TAutoSelectSettingParam&) {}
void TFormMain::SetMode_AutoSelectSource(TMode_AutoSelectSource mode) { f_Mode_AutoSelectSource = mode; }
int TFormMain::GetNextSourceNum() { return 0; }
void TFormMain::AutoSelectSource(int) {}
bool TFormMain::IsInSetTime() { return false; }
qint64 TFormMain::GetSecondsToEndTime(double) { return 0; }
qint32 TFormMain::GetFirstIntervalForSetTime(double) { return 0; }
