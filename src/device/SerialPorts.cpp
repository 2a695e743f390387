#include "SerialPorts.h"

#include "PortMap.h"

#include <QSerialPortInfo>

namespace SerialPorts {

QList<int> AvailablePorts() {
    return PortMap::AvailablePorts([] {
        // QSerialPortInfo leaves out the phantom ttyS nodes of absent UARTs.
        QStringList names;
        const auto ports = QSerialPortInfo::availablePorts();
        for (const QSerialPortInfo& info : ports)
            names.append(info.portName());
        return names;
    });
}

} // namespace SerialPorts
