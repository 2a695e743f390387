#include "form_Main.h"

#include "Widgets.h"
#include "common/Errors.h"
#include "device/PortMap.h"
#include "device/SerialPorts.h"

#include <QCoreApplication>

void TFormMain::cmb_ComPortNumDropDown() {
    LoadComPortList();
}

void TFormMain::cmb_ComPortNumKeyDown() {
    LoadComPortList();
}

void TFormMain::LoadComPortList() {
    cmb_ComPortNum->clear();
    const QList<int> ports = SerialPorts::AvailablePorts();
    for (int n : ports)
        cmb_ComPortNum->addItem(PortMap::PortName(n));
    if (cmb_ComPortNum->count() == 0)
        cmb_ComPortNum->setEnabled(false);
    cmb_ComPortNum->setCurrentIndex(cmb_ComPortNum->count() > 0 ? 0 : -1);
}

int TFormMain::GetSelectedComPortNum() {
    QString text = cmb_ComPortNum->currentIndex() >= 0 ? cmb_ComPortNum->currentText() : QString();
    text.remove(QStringLiteral("COM"), Qt::CaseSensitive);
    bool ok = false;
    const int number = text.toInt(&ok, 10);
    if (!ok)
        throw EConvertError(
            QCoreApplication::translate("EConvertError", "'%1' は整数ではありません").arg(text));
    return number;
}
