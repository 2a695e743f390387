#include "ui/form_Main.h"

#include "app/ConnectReported.h"
#include "common/Platform.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "ui/Widgets.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QMenu>
#include <QStyle>

TFormMain::~TFormMain() {
    f_Destroying = true;
    hide();
    FinalizeMain(); // FormDestroy
    delete TrayIcon1;
    TrayIcon1 = nullptr;
    if (FormMain == this)
        FormMain = nullptr;
}

void TFormMain::FormCreate() {
    InitMain();
    if (!f_ArgumentsGiven && QCoreApplication::instance() != nullptr)
        f_Arguments = QCoreApplication::arguments().mid(1);
    if (f_Arguments.size() >= 3)
        DoProcess_ByParamStr();
}

void TFormMain::InitMain() {
    f_DoExit = false;
    f_AutoChangeRunning = false;
    f_Model = new TRsx24p;
    f_Log = new TLog;
    f_AutoSelectParam.AutoSelectSource_List = new QList<int>;
    f_Log->Init();
    tmr_CheckPower->SetInterval(kCheckPowerDelayMs);
}

void TFormMain::FinalizeMain() {
    delete f_Model;
    f_Model = nullptr;
    delete f_Log;
    f_Log = nullptr;
    delete f_AutoSelectParam.AutoSelectSource_List;
    f_AutoSelectParam.AutoSelectSource_List = nullptr;
}

// The icon lives in incycler_gui, a static library: its resource must be pulled in by name.
static void LoadIconResource() {
    Q_INIT_RESOURCE(incycler);
}

void TFormMain::BuildTray() {
    LoadIconResource();
    TrayIcon1 = new QSystemTrayIcon(this);
    QIcon icon(QStringLiteral(":/incycler.svg"));
    if (icon.isNull())
        icon = style()->standardIcon(QStyle::SP_ComputerIcon);
    setWindowIcon(icon);
    TrayIcon1->setIcon(icon);
    TrayIcon1->setToolTip(QStringLiteral("InCycler"));

    PopupMenu1 = new QMenu(this);
    PopupMenu1->setObjectName(QStringLiteral("PopupMenu1"));
    ppm_Show = PopupMenu1->addAction(tr("表示(&S)"));
    ppm_Show->setObjectName(QStringLiteral("ppm_Show"));
    N1 = PopupMenu1->addSeparator();
    N1->setObjectName(QStringLiteral("N1"));
    ppm_Exit = PopupMenu1->addAction(tr("終了(&X)"));
    ppm_Exit->setObjectName(QStringLiteral("ppm_Exit"));
    TrayIcon1->setContextMenu(PopupMenu1);

    ConnectReported(ppm_Show, &QAction::triggered, this, &TFormMain::ppm_ShowClick);
    ConnectReported(ppm_Exit, &QAction::triggered, this, &TFormMain::ppm_ExitClick);
    ConnectReported(TrayIcon1, &QSystemTrayIcon::activated, this, &TFormMain::OnTrayActivated);
    // Without a display there is no notification area, and showing the icon would only put
    // Qt's complaint about it into every scheduled run's output.
    if (!Platform::Headless())
        TrayIcon1->show();
}

void TFormMain::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
    // A double click arrives as one Trigger and then DoubleClick: it counts once.
    if (reason == QSystemTrayIcon::Trigger)
        TrayIcon1Click();
}

bool TFormMain::FormCloseQuery() {
    if (f_DoExit)
        return true;
    // Without a notification area a hidden window could not be brought back while it
    // goes on switching; there it is minimised instead. A window that is already hidden
    // (a command-line run) stays hidden: minimising would show it.
    if (QSystemTrayIcon::isSystemTrayAvailable() || !isVisible())
        hide();
    else
        showMinimized();
    return false;
}

void TFormMain::closeEvent(QCloseEvent* event) {
    if (!FormCloseQuery()) {
        event->ignore();
        return;
    }
    event->accept();
    // Closing the main window ends the message loop, also while it is hidden.
    QCoreApplication::exit(ExitStatus());
}

int TFormMain::ExitStatus() const {
    const bool runAbandoned =
        f_CmdLineStage == TCmdLineStage::Waiting || f_CmdLineStage == TCmdLineStage::Running;
    if (runAbandoned)
        return f_ExitSignal != 0 ? 128 + f_ExitSignal : 1;
    return f_ExitCode;
}

void TFormMain::ppm_ExitClick() {
    f_DoExit = true;
    // Handlers may still run before the loop ends (nested in a send, or due in the same pass):
    // none of them sends anything now.
    if (mod_IF_ComPort != nullptr)
        mod_IF_ComPort->MarkEnding();
    close();
}

void TFormMain::RequestExit(int signal) {
    if (f_Destroying || f_CmdLineStage == TCmdLineStage::Decided)
        return;
    if (f_ExitSignal == 0)
        f_ExitSignal = signal;
    tmr_StartupProcess_ForCmdLineParams->SetEnabled(false);
    // Before the message loop runs (a signal handled inside the start-up's log trim) the
    // close below cannot end a loop; start-up sees f_DoExit and ends the process instead.
    ppm_ExitClick();
}

void TFormMain::ppm_ShowClick() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    show();
    BringToFront();
}

void TFormMain::TrayIcon1Click() {
    setWindowState(windowState() & ~Qt::WindowMinimized);
    if (!isVisible())
        show();
    BringToFront();
}

void TFormMain::BringToFront() {
    raise();
    // A box the window owns goes in front of it and takes the keyboard: the operator is to
    // answer it first.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) {
        activateWindow();
        return;
    }
    modal->raise();
    modal->activateWindow();
}

void TFormMain::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    // Restoring from minimised is a spontaneous show; only hidden-to-visible counts.
    if (!event->spontaneous() && !f_Visible) {
        f_Visible = true;
        FormShow();
    }
}

void TFormMain::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        f_Visible = false;
}

void TFormMain::FormShow() {
    ShowProcess();
}

void TFormMain::ShowProcess() {
    // While switching runs, the disabled controls show the settings it runs with; a reset
    // would show another interval, and Start after Stop would take it.
    if (!f_AutoChangeRunning)
        ApplyIntervalUnit();
}
