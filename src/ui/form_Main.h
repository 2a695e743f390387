#pragma once

#include "common/MyTypes.h"
#include "common/WallClockAlarm.h"
#include "common/WindowTimer.h"
#include "control/ControlProtocol.h"

#include <QStringList>
#include <QSystemTrayIcon>
#include <QWidget>

class QAction;
class QComboBox;
class QFrame;
class QGroupBox;
class QLabel;
class QListWidget;
class QMenu;
class QPushButton;
class QRadioButton;
class QTimeEdit;
class TComPortComboBox;
class TLog;
class TModel;
class TSpinEdit;
class TToggleButton;

// The main window, which is also the application's controller. One instance, FormMain.
// Its member functions live in the folder of the concern they serve: layout, port list
// and refresh in ui/, start-up and tray in app/, switching in control/, the one-shot
// command line in cmdline/.
class TFormMain : public QWidget {
    Q_OBJECT
public:
    // Builds every control and the tray icon; FormCreate runs separately so that its
    // errors reach the top-level report.
    explicit TFormMain(QWidget* parent = nullptr);
    ~TFormMain() override;

    TModel* Model() const { return f_Model; }

    // --- start-up and lifecycle (app/) ---
    void FormCreate();
    void InitMain();
    void FinalizeMain();
    bool FormCloseQuery();
    void ppm_ExitClick();
    void ppm_ShowClick();
    void TrayIcon1Click();
    void FormShow();
    void ShowProcess();
    // Ends the process as the tray's exit does (signals, end of the session). A one-shot run
    // whose command has not gone out yet is abandoned, and the process ends with 128 + the
    // signal's number; once the command is on its way, the run ends the process itself.
    void RequestExit(int signal = 0);

    // The arguments a one-shot run is parsed from; the process's own by default.
    void SetArguments(const QStringList& arguments) {
        f_Arguments = arguments;
        f_ArgumentsGiven = true;
    }
    bool ShowAtStart() const { return f_ShowAtStart; }
    // A rotation started from the command line: applied, opened and started once the message
    // loop runs. The window is not shown at start; start-up decides how it appears.
    void SetRotateParams(const TRotateParams& params);
    // From the mark on no handler acts; the time window's alarm is disarmed with it.
    void MarkDestroying() {
        f_Destroying = true;
        f_WindowOpeningAlarm->Disarm();
    }
    bool Destroying() const { return f_Destroying; }
    bool DoExit() const { return f_DoExit; }
    // The status the process ends with.
    int ExitStatus() const;

    // --- layout (ui/) ---
    void cmb_ModelChange();
    void cmb_IntervalUnitChange();
    void ApplyIntervalUnit();
    // Whether a typed character survives the interval field's filter.
    bool spn_IntervalKeyPress(QChar key);

    // --- port list (ui/) ---
    void cmb_ComPortNumDropDown();
    void cmb_ComPortNumKeyDown();
    void LoadComPortList();
    int GetSelectedComPortNum();

    // --- refresh (ui/) ---
    void ApplicationEvents1Idle();
    void UpdateRunControlsView(bool running, bool portOpen);
    void UpdateTermGroupView(bool running);
    void UpdateAutoChangeGroupView(bool running);
    void UpdateRunStateView(bool running);
    void UpdateComPortStateView(bool portOpen);
    void UpdatePowerStateView(bool portOpen);
    void UpdateSourceStateView(bool portOpen);

    // --- manual control and polling (control/) ---
    void btn_ComPortStateClick();
    void btn_PowerStateClick();
    void btn_Source_xxClick(TToggleButton* Sender);
    void tmr_CheckSourceTimer();
    void tmr_CheckPowerTimer();

    // --- rotation and time window (control/) ---
    void btn_StartClick();
    void btn_StopClick();
    void tmr_RollSelectSourceTimer();
    void GetAutoSelectSettingParam(TAutoSelectSettingParam& param);
    void SetMode_AutoSelectSource(TMode_AutoSelectSource mode);
    int GetNextSourceNum();
    void AutoSelectSource(int sourceNum);
    // A power state has just been taken into the model from a reply.
    void PowerReported();
    bool IsInSetTime();
    qint64 GetSecondsToEndTime(double t);
    qint32 GetFirstIntervalForSetTime(double t);
    // The wall clock reached the end of the wait for the window, or was set meanwhile.
    void WindowOpeningAlarmDue();
    TWallClockAlarm* WindowOpeningAlarm() const { return f_WindowOpeningAlarm; }

    // --- serving the other InCyclers on this machine (control/) ---
    // The state --status prints: the device's last report, and the rotation as it runs (or,
    // while stopped, as 開始 would start it).
    ControlProtocol::TOwnerState OwnerState();
    // Sends another process's command as the buttons do, with the poll that follows; a
    // rotation is set and started (or stopped) as --rotate and the buttons do.
    ControlProtocol::TOutcome ServeCommand(const ControlProtocol::TRequest& request, QString* why);
    // A one-shot run hands its command over when another InCycler holds the port.
    bool OneShotRun() const { return f_CmdLineStage != TCmdLineStage::None; }

    // --- command line (cmdline/) ---
    void DoProcess_ByParamStr();
    void tmr_StartupProcess_ForCmdLineParamsTimer();
    void StartupProcess_ForCmdLineParams();
    void tmr_StartupProcess_ForRotateParamsTimer();
    void StartupProcess_ForRotateParams();

    // --- state the refresh and the tests read ---
    bool AutoChangeRunning() const { return f_AutoChangeRunning; }
    TMode_AutoSelectSource Mode_AutoSelectSource() const { return f_Mode_AutoSelectSource; }
    const TAutoSelectSettingParam& AutoSelectParam() const { return f_AutoSelectParam; }
    const TCmdLineParams& CmdLineParams() const { return f_CmdLineParams; }
    TLog* Log() const { return f_Log; }

    // --- controls ---
    QFrame* panel_Top;
    QLabel* Label1;
    QComboBox* cmb_Model;
    QLabel* lblComPortNum;
    TComPortComboBox* cmb_ComPortNum;
    TToggleButton* btn_ComPortState;
    QFrame* panel_Client;
    QGroupBox* grp_Term;
    QRadioButton* rb_Jouji;
    QRadioButton* rb_Shitei;
    QTimeEdit* dt_Start;
    QLabel* Label2;
    QTimeEdit* dt_End;
    QGroupBox* grp_AutoChange;
    QLabel* Label3;
    TSpinEdit* spn_Interval;
    QComboBox* cmb_IntervalUnit;
    QLabel* Label4;
    QListWidget* clb_EnableSource;
    QPushButton* btn_Start;
    QPushButton* btn_Stop;
    QLabel* txt_RunState;
    QLabel* txt_TimeMode;
    QFrame* panel_Bottom;
    QLabel* Label6;
    TToggleButton* btn_PowerState;
    QLabel* Label5;
    TToggleButton* btn_Source_01;
    TToggleButton* btn_Source_02;
    TToggleButton* btn_Source_03;

    QSystemTrayIcon* TrayIcon1;
    QMenu* PopupMenu1;
    QAction* ppm_Show;
    QAction* N1;
    QAction* ppm_Exit;

    TWindowTimer* tmr_StartupProcess_ForCmdLineParams;
    TWindowTimer* tmr_StartupProcess_ForRotateParams;
    TWindowTimer* tmr_CheckSource;
    TWindowTimer* tmr_RollSelectSource;
    TWindowTimer* tmr_CheckPower;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    void BuildControls();
    void BuildTray();
    void ConnectHandlers();
    void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
    void BringToFront();
    void ReplaceModel(TModel* model);
    // Opens the chosen port as the port button does, with the queries that follow. False,
    // with nothing shown or logged, when it cannot be opened.
    bool OpenPortAndAsk();
    // Sets the controls as an operator would for the command line's rotation.
    void ApplyRotateParams();
    // The same for the rotation's settings alone, those asked for: the inputs, the interval,
    // the mode with the window.
    void ApplyRotationSettings(const TRotateParams& params, bool inputs, bool interval,
                               bool window);
    ControlProtocol::TOutcome ServeRotation(const ControlProtocol::TRequest& request, QString* why);
    // --serve: holds the port it opened and serves it; a line that goes away is waited for
    // again.
    void ServeUntilLost();
    // "rotating on COM3 (/dev/ttyUSB0): …" on stderr and as the service's status line.
    void SayReady(const QString& doing);
    // A one-shot run's command for the InCycler that holds the port, if one serves it. False
    // when none does: the run then fails as it would have.
    bool HandToOwner(const QString& proc);

    // The timers' intervals as the window is built. The checks ask the device this long after
    // a command; the rotation's is always set anew before it is enabled.
    static constexpr int kCheckSourceDelayMs = 100;
    static constexpr int kCheckPowerDelayMs = 650;
    static constexpr int kCmdLineStartDelayMs = 100;
    static constexpr int kRotationDesignIntervalMs = 100;
    // A command-line rotation whose port cannot be opened yet tries again this often.
    static constexpr int kRotateRetryMs = 5000;

    // Stops the rotation's timer and whatever wait for the window is pending.
    void DisarmRotation();
    // The rotation has opened a lost port again: the device is asked as the port button asks.
    void AskAfterReconnection();

    // Fields of the controller, as initialised by InitMain.
    bool f_DoExit = false;
    bool f_AutoChangeRunning = false;
    TModel* f_Model = nullptr;
    TCmdLineParams f_CmdLineParams;
    TAutoSelectSettingParam f_AutoSelectParam;
    TLog* f_Log = nullptr;
    TMode_AutoSelectSource f_Mode_AutoSelectSource = mdNone;

    QStringList f_Arguments;
    bool f_ArgumentsGiven = false;
    bool f_ShowAtStart = true;
    bool f_Destroying = false;
    bool f_Visible = false; // hidden-to-visible transitions run FormShow
    // How far a one-shot run has come: a signal may stop it only before its command is handed
    // to the port (or its failure is known); from then on the run ends with its own outcome.
    enum class TCmdLineStage { None, Waiting, Running, Decided };
    TCmdLineStage f_CmdLineStage = TCmdLineStage::None;
    TRotateParams f_RotateParams;
    bool f_RotateOpenFailureSaid = false; // the waiting for a port is said once
    bool f_ServeLossFollowed = false;
    int f_ExitCode = 0;
    int f_ExitSignal = 0; // the signal that asked the process to end, if any
    // Counts Stop clicks, so that Start can tell a Stop handled while its commands were written.
    unsigned f_StopClicks = 0;
    // Set when the rotation opens a lost port of model A: the first power report after it
    // decides whether the switcher is switched on again, as Start would.
    bool f_PowerOnAfterReconnection = false;
    // Armed only while the time-window rotation waits for its window to open.
    TWallClockAlarm* f_WindowOpeningAlarm = nullptr;
};

extern TFormMain* FormMain;
