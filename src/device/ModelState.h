#pragma once

#include "ReplyFraming.h"
#include "common/MyTypes.h"

// What the switcher last reported: the part of a device model that the replies write and the
// window and the rotation read. Without the command set, it needs no port.
class TModelState {
public:
    TPowerState PowerState() const { return f_PowerState; }
    void SetPowerState(TPowerState state) { f_PowerState = state; }
    int SelectedSourceNum() const { return f_SelectedSourceNum; }
    void SetSelectedSourceNum(int num) { f_SelectedSourceNum = num; }

    // The line was lost and is back: until the device answers again, nothing is known of it
    // (it may have lost its power meanwhile).
    void Forget() {
        f_PowerState = psNone;
        f_SelectedSourceNum = 0;
    }

    // Stores what one reply reported; what it did not report stays as it is.
    void Apply(const ReplyFraming::ReplyEffect& effect) {
        if (effect.power)
            f_PowerState = *effect.power;
        if (effect.selectedSource)
            f_SelectedSourceNum = *effect.selectedSource;
    }

private:
    int f_SelectedSourceNum = 0;
    TPowerState f_PowerState = psNone;
};
