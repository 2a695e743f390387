#pragma once

class TFormMain;

// The time-window mode's parts of the rotation: what Start does in that mode, and one
// firing of the rotation timer in it.
namespace TimeWindow {

void Start(TFormMain& form);
void Tick(TFormMain& form);

} // namespace TimeWindow
