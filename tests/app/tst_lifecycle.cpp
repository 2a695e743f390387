// The window's lifecycle in process: a close request that does not end the program, the
// exit through the tray menu, a signal or the end of the session with the port open, the
// order of the shutdown, and timer handlers that do nothing once the shutdown has begun.

#include "ControlSupport.h"
#include "DeviceFree.h"
#include "app/Application.h"
#include "app/ExitSignals.h"
#include "app/Startup.h"

#include <QFileInfo>
#include <QLabel>
#include <QSignalSpy>
#include <QTimer>

#include <csignal>
#include <unistd.h>

using namespace ControlSupport;

namespace {

// Runs the application's message loop as start-up does and returns its status. Ends it
// with 99 should nothing end it within the deadline.
int RunLoop(const std::function<void()>& first, int deadlineMs = 30000) {
    QObject guard;
    QTimer::singleShot(0, &guard, first);
    QTimer::singleShot(deadlineMs, &guard, [] { QCoreApplication::exit(99); });
    return QCoreApplication::exec();
}

} // namespace

class TestLifecycle : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void closeRequestKeepsTheProgramAndTheSwitching();
    void closeRequestWhileHiddenChangesNothing();
    void exitWithThePortOpenSendsNothing_data();
    void exitWithThePortOpenSendsNothing();
    void timerHandlersDoNothingAfterTheMark();

private:
    // Opens the port and starts switching over inputs 1 and 2, then waits until the device
    // has read everything the start sent and every poll has been answered.
    bool StartAndDrain();

    std::unique_ptr<AppRig> m_rig;
};

bool TestLifecycle::StartAndDrain() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    SetEveryTime(form, {1, 2});
    if (!OpenAndSettle(*m_rig))
        return false;
    sw.ClearFrames();
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    // Reported off at the opening: Start powers on, selects, and both polls follow.
    const QByteArrayList sent{"PWR1", "SRC1", "GET", "PWR?"};
    return form->AutoChangeRunning() && QTest::qWaitFor(
                                            [&] {
                                                return sw.Frames() == sent &&
                                                       !form->tmr_CheckSource->Enabled() &&
                                                       !form->tmr_CheckPower->Enabled() &&
                                                       form->Model()->PowerState() == psPowerOn &&
                                                       m_rig->Module()->RcvBuff().isEmpty();
                                            },
                                            5000);
}

void TestLifecycle::init() {
    m_rig = std::make_unique<AppRig>();
    QVERIFY(QTest::qWaitForWindowExposed(m_rig->Form()));
}

void TestLifecycle::cleanup() {
    m_rig.reset();
}

void TestLifecycle::closeRequestKeepsTheProgramAndTheSwitching() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartRotation(*m_rig, {1, 3}));
    form->spn_Interval->SetValue(30); // shows whether the window was shown afresh

    // Refused, whatever its source; nothing reported.
    QVERIFY(!form->close());
    QVERIFY(!form->DoExit());
    QVERIFY(ShownBoxes().isEmpty());
    // Without a notification area to bring it back from (this platform has none), the
    // window goes to the task bar instead of out of sight.
    QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
    QVERIFY(form->isVisible());
    QTRY_VERIFY(form->isMinimized());
    QVERIFY(form->TrayIcon1->isVisible());

    // The switching goes on.
    QVERIFY(form->AutoChangeRunning());
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    sw.ClearFrames();
    form->tmr_RollSelectSourceTimer();
    QTRY_COMPARE(Selects(sw), QByteArrayList{"SRC3"});
    QVERIFY(m_rig->Module()->Connected());

    // A click on the icon brings it back with the running state, without a fresh show.
    form->TrayIcon1Click();
    QTRY_VERIFY(!form->isMinimized());
    Refreshed(form);
    QCOMPARE(form->txt_RunState->text(), QStringLiteral("自動切り替え実行中"));
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));
}

void TestLifecycle::closeRequestWhileHiddenChangesNothing() {
    TFormMain* form = m_rig->Form();
    form->hide();
    QVERIFY(!form->close());
    QVERIFY(!form->DoExit());
    // Minimising would show it: a command-line run must stay out of sight.
    QVERIFY(!form->isVisible());
    // The window is where it was; the program has not begun to end.
    QVERIFY(!form->Destroying());
    QVERIFY(mod_IF_ComPort != nullptr);
}

void TestLifecycle::exitWithThePortOpenSendsNothing_data() {
    QTest::addColumn<QString>("how");
    QTest::addColumn<bool>("hidden");

    QTest::newRow("tray menu") << "menu" << false;
    QTest::newRow("tray menu, window hidden") << "menu" << true;
    QTest::newRow("SIGTERM") << "signal" << false;
    QTest::newRow("SIGTERM, window hidden") << "signal" << true;
    // What the session manager's last word becomes.
    QTest::newRow("session end") << "quit" << false;
    QTest::newRow("session end, window hidden") << "quit" << true;
}

void TestLifecycle::exitWithThePortOpenSendsNothing() {
    QFETCH(QString, how);
    QFETCH(bool, hidden);
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartAndDrain());
    QVERIFY(!DeviceFree(sw.LinkPath()));
    // Switching runs and a poll is pending: exit waits for neither. The poll is not due
    // before the exit is asked for, however loaded the machine, so that whatever reaches
    // the line is the exit's doing.
    form->tmr_CheckSource->SetInterval(60000);
    form->tmr_CheckSource->SetEnabled(true);
    sw.ClearRawReceived();
    if (hidden)
        form->hide();

    // Wired as start-up wires them.
    TExitSignals exitSignals;
    ConnectExitRequests(*qobject_cast<TInCyclerApplication*>(qApp), exitSignals, form);
    const int status = RunLoop([&] {
        if (how == QLatin1String("menu")) {
            form->ppm_Exit->trigger();
        } else if (how == QLatin1String("signal")) {
            ::kill(::getpid(), SIGTERM);
        } else {
            QEvent quit(QEvent::Quit);
            QCoreApplication::sendEvent(qApp, &quit);
        }
    });
    QCOMPARE(status, 0);
    QVERIFY(form->DoExit());
    QVERIFY(!form->isVisible());

    // The shutdown, in its order: the module goes first, with the window already marked.
    QStringList order;
    bool windowMarkedFirst = false;
    connect(mod_IF_ComPort, &QObject::destroyed, this, [&] {
        order.append(QStringLiteral("module"));
        windowMarkedFirst = FormMain != nullptr && FormMain->Destroying();
    });
    connect(FormMain, &QObject::destroyed, this, [&] { order.append(QStringLiteral("window")); });
    ShutdownInCycler();
    QCOMPARE(order, (QStringList{"module", "window"}));
    QVERIFY(windowMarkedFirst);
    QVERIFY(mod_IF_ComPort == nullptr);
    QVERIFY(FormMain == nullptr);

    // The port is closed and nothing went out on the way.
    QVERIFY(DeviceFree(sw.LinkPath()));
    QCoreApplication::processEvents(); // the switcher reads whatever is on the line
    QCOMPARE(sw.RawReceived(), QByteArray());
    QVERIFY(ShownBoxes().isEmpty());
}

void TestLifecycle::timerHandlersDoNothingAfterTheMark() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartAndDrain());
    const int reported = form->Model()->SelectedSourceNum();

    // Every timer due, as at an exit in the middle of things; then the mark.
    form->tmr_RollSelectSource->SetInterval(20);
    form->tmr_CheckSource->SetEnabled(true);
    form->tmr_CheckPower->SetEnabled(true);
    form->tmr_StartupProcess_ForCmdLineParams->SetEnabled(true);
    form->MarkDestroying();
    m_rig->Module()->MarkDestroying();
    sw.ClearRawReceived();
    // A reply that arrives now stays in the buffer: the reply timer does nothing either.
    sw.InjectRaw("\x1bget3\r");

    QSignalSpy roll(form->tmr_RollSelectSource, &TWindowTimer::Timer);
    QSignalSpy source(form->tmr_CheckSource, &TWindowTimer::Timer);
    QSignalSpy power(form->tmr_CheckPower, &TWindowTimer::Timer);
    QSignalSpy startup(form->tmr_StartupProcess_ForCmdLineParams, &TWindowTimer::Timer);
    QSignalSpy reply(m_rig->Module()->tmr_RxBuffCheck, &TWindowTimer::Timer);
    QTRY_VERIFY(!roll.isEmpty() && !source.isEmpty() && !power.isEmpty() && !startup.isEmpty());
    QTRY_VERIFY(m_rig->Module()->RcvBuff().contains("get3"));
    const qsizetype ticksSeen = reply.size();
    QTRY_VERIFY(reply.size() > ticksSeen);
    form->AutoSelectSource(2);

    QCOMPARE(roll.size(), 1); // the rotation tick did not re-arm its timer
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    QCoreApplication::processEvents();
    QCOMPARE(sw.RawReceived(), QByteArray());
    QCOMPARE(form->Model()->SelectedSourceNum(), reported);
    QVERIFY(m_rig->Module()->RcvBuff().contains("get3"));
    QVERIFY(m_rig->LogLines().isEmpty());
}

INCYCLER_APP_TEST_MAIN(TestLifecycle)
#include "tst_lifecycle.moc"
