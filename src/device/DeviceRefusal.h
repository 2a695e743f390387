#pragma once

#include <QString>

// Refusals of a device's open that the usual texts would misname: a service's device policy
// (its unit's DeviceAllow=), and the exclusive mode a pseudo-terminal keeps after its holder
// has gone.
namespace DeviceRefusal {

// For an open refused with EPERM by the control group's device policy: names the unit and
// the drop-in that admits the device ("DeviceAllow=char-ttyAMA rw").
QString NotAdmittedText(const QString& devicePath);

// Whether the device is the far side of a pseudo-terminal (/dev/pts/N).
bool PseudoTerminal(const QString& devicePath);

// For a pseudo-terminal in exclusive mode that no running program holds.
QString LeftExclusiveText();

} // namespace DeviceRefusal
