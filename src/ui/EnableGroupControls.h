#pragma once

class QGroupBox;

// Sets the group box's enabled state and then that of each control placed directly in
// it, in the group box's own order. Controls nested deeper are not visited.
void EnableGroupControls(QGroupBox* group, bool enabled);
