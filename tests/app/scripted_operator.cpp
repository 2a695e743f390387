// The program's whole life (RunInCycler, as InCycler runs it) with a scripted operator:
// once the message loop runs, it picks COM3 in the port list and clicks the port button,
// and reports on standard output when the port is open and the opening's queries are
// answered ("ready"). During the shutdown it reports, in order, the end of the data module
// (and whether the window was already marked) and the end of the window (and whether the
// device was free again by then). A test sends the signal and reads these lines.

#include "DeviceFree.h"
#include "app/Startup.h"
#include "device/PortMap.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

void Say(const char* line) {
    std::printf("%s\n", line);
    std::fflush(stdout);
}

void WatchShutdown() {
    QObject::connect(mod_IF_ComPort, &QObject::destroyed, [] {
        Say(FormMain != nullptr && FormMain->Destroying() ? "module gone, window marked"
                                                          : "module gone, window not marked");
    });
    QObject::connect(FormMain, &QObject::destroyed, [] {
        Say(DeviceFree(PortMap::DevicePath(3)) ? "window gone, device free"
                                               : "window gone, device held");
    });
}

void WaitUntilSettled() {
    const bool settled = mod_IF_ComPort->Connected() && FormMain->Model()->PowerState() != psNone &&
                         FormMain->Model()->SelectedSourceNum() != 0 &&
                         !FormMain->tmr_CheckSource->Enabled() &&
                         mod_IF_ComPort->RcvBuff().isEmpty();
    if (!settled) {
        QTimer::singleShot(10, FormMain, WaitUntilSettled);
        return;
    }
    WatchShutdown();
    Say("ready");
}

void Operate() {
    FormMain->LoadComPortList();
    FormMain->cmb_ComPortNum->setCurrentIndex(FormMain->cmb_ComPortNum->findText("COM3"));
    FormMain->btn_ComPortState->click();
    WaitUntilSettled();
}

void Arrange() {
    QTimer::singleShot(0, QCoreApplication::instance(), Operate);
}

} // namespace

Q_COREAPP_STARTUP_FUNCTION(Arrange)

int main(int argc, char** argv) {
    return RunInCycler(argc, argv);
}
