#include "cls_Model.h"

#include "common/Errors.h"
#include "dm_IF_ComPort.h"

int TModel::GetMaxSourceCount() const {
    throw EAbstractError();
}
bool TModel::PowerOn() {
    throw EAbstractError();
}
bool TModel::PowerOff() {
    throw EAbstractError();
}
bool TModel::SetInputSourceNum(int) {
    throw EAbstractError();
}
bool TModel::RequestPowerState() {
    throw EAbstractError();
}
bool TModel::RequestInputSourceNum() {
    throw EAbstractError();
}

bool TModel::Send(const QByteArray& command) {
    return mod_IF_ComPort != nullptr && mod_IF_ComPort->SendCmd(command);
}

bool TRsx24p::PowerOn() {
    return Send("PWR1");
}
bool TRsx24p::PowerOff() {
    return Send("PWR0");
}
bool TRsx24p::SetInputSourceNum(int a_InputSourceNum) {
    return Send("SRC" + QByteArray::number(a_InputSourceNum));
}
bool TRsx24p::RequestPowerState() {
    return Send("PWR?");
}
bool TRsx24p::RequestInputSourceNum() {
    return Send("GET");
}

bool TRsx24q::SetInputSourceNum(int a_InputSourceNum) {
    return Send("X24Q" + QByteArray::number(a_InputSourceNum));
}
bool TRsx24q::RequestInputSourceNum() {
    return Send("X24QG");
}
