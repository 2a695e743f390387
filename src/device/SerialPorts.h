#pragma once

#include <QList>

// The ports of this machine for the port lists.
namespace SerialPorts {

// The numbers of the ports present now, ascending (PortMap's numbering of the serial devices
// that Qt's serial-port module finds, or of INCYCLER_PORT_DIR's entries).
QList<int> AvailablePorts();

} // namespace SerialPorts
