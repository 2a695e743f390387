// The idle refresh: what the window shows for each combination of port, running state,
// model and the device's reports, driven through the real handlers against the virtual
// switcher. The refresh is called as the idle notification would call it.

#include "ControlSupport.h"
#include "common/Clock.h"
#include "ui/EnableGroupControls.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

using namespace ControlSupport;

namespace {

QDateTime g_now;

void SetNow(QTime time) {
    g_now = QDateTime(QDate(2024, 5, 1), time);
}

const QString kStopped = QStringLiteral("自動切り替え停止中");
const QString kRunning = QStringLiteral("自動切り替え実行中");
const QString kNoMode = QStringLiteral("------------------");

// The group box and every control placed directly in it share one enabled state.
QString GroupState(QGroupBox* group, bool enabled) {
    if (group->isEnabled() != enabled)
        return group->objectName() + QStringLiteral(": group");
    const auto children = group->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly);
    for (QWidget* w : children) {
        if (w->isEnabled() != enabled)
            return w->objectName();
    }
    return {};
}

QList<bool> InputsDown(TFormMain* form) {
    return {form->btn_Source_01->Down(), form->btn_Source_02->Down(), form->btn_Source_03->Down()};
}

QList<bool> InputsEnabled(TFormMain* form) {
    return {form->btn_Source_01->isEnabled(), form->btn_Source_02->isEnabled(),
            form->btn_Source_03->isEnabled()};
}

QList<bool> Only(int input) {
    return {input == 1, input == 2, input == 3};
}

QColor SystemColor(QLabel* label, QPalette::ColorRole role) {
    return QApplication::palette(label).color(role);
}

// Counts paint events of the window and everything in it.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* window) : m_window(window) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~PaintCounter() override { QCoreApplication::instance()->removeEventFilter(this); }
    int Count() const { return m_count; }
    void Reset() { m_count = 0; }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) {
            auto* w = qobject_cast<QWidget*>(watched);
            if (w != nullptr && (w == m_window || m_window->isAncestorOf(w)))
                ++m_count;
        }
        return false;
    }

private:
    QWidget* m_window;
    int m_count = 0;
};

// Lets every pending update be painted.
void Flush() {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::sendPostedEvents();
        QCoreApplication::processEvents();
    }
}

} // namespace

class TestRefresh : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void portClosedNotRunning();
    void portOpenNotRunning();
    void portOpenRunning();
    void timeWindowTextFollowsTheClock();
    void powerAndInputFollowTheReports();
    void unknownReportedInputLeavesAllUp();
    void closingThePortKeepsTheLastStatesAndForgetsTheInput();
    void modelBPowerButtonIsUpAndDisabled();
    void clickedInputComesBackToTheReportedOne();
    void clickedPowerComesBackToTheReportedState();
    void lostPortWhileRunningKeepsStopReachable();
    void hiddenWindowIsNotRefreshed();
    void failedOpenComesBackUpAfterTheBox();
    void enableGroupControlsVisitsOnlyDirectChildren();
    void refreshWithNothingChangedPaintsNothing();

private:
    // Opens the port and starts switching all the time over inputs 1 and 3.
    bool StartEveryTime();

    std::unique_ptr<AppRig> m_rig;
};

void TestRefresh::init() {
    m_rig = std::make_unique<AppRig>();
}

void TestRefresh::cleanup() {
    m_rig.reset();
    Clock::SetSource({});
}

bool TestRefresh::StartEveryTime() {
    TFormMain* form = m_rig->Form();
    SetEveryTime(form, {1, 3});
    if (!OpenAndSettle(*m_rig))
        return false;
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    return form->AutoChangeRunning() && SettleSourcePoll(*m_rig) && Refreshed(form);
}

void TestRefresh::portClosedNotRunning() {
    TFormMain* form = m_rig->Form();
    // Disabled by hand first: the refresh writes every state, it does not only react.
    form->cmb_Model->setEnabled(false);
    form->btn_Source_02->setEnabled(true);
    form->rb_Shitei->setEnabled(false);
    Refreshed(form);

    QVERIFY(form->cmb_Model->isEnabled());
    QVERIFY(form->cmb_ComPortNum->isEnabled());
    QVERIFY(form->btn_ComPortState->isEnabled());
    QVERIFY(!form->btn_ComPortState->Down());
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Open"));
    QVERIFY(!form->btn_Start->isEnabled());
    QVERIFY(!form->btn_Stop->isEnabled());
    QVERIFY2(GroupState(form->grp_Term, true).isEmpty(),
             qPrintable(GroupState(form->grp_Term, true)));
    QVERIFY2(GroupState(form->grp_AutoChange, true).isEmpty(),
             qPrintable(GroupState(form->grp_AutoChange, true)));
    QVERIFY(!form->btn_PowerState->isEnabled());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("OFF"));
    QCOMPARE(InputsEnabled(form), (QList<bool>{false, false, false}));
    QCOMPARE(form->txt_RunState->text(), kStopped);
    QVERIFY(!form->txt_RunState->font().bold());
    QCOMPARE(form->txt_RunState->palette().color(QPalette::WindowText),
             SystemColor(form->txt_RunState, QPalette::WindowText));
    QCOMPARE(form->txt_TimeMode->text(), kNoMode);
    // The status labels are sized to their texts.
    QCOMPARE(form->txt_TimeMode->size(), form->txt_TimeMode->sizeHint());
}

void TestRefresh::portOpenNotRunning() {
    TFormMain* form = m_rig->Form();
    QVERIFY(OpenAndSettle(*m_rig));
    QVERIFY(!form->cmb_Model->isEnabled());
    QVERIFY(!form->cmb_ComPortNum->isEnabled());
    QVERIFY(form->btn_ComPortState->isEnabled());
    QVERIFY(form->btn_ComPortState->Down());
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Close"));
    QVERIFY(form->btn_Start->isEnabled());
    QVERIFY(form->btn_Stop->isEnabled());
    QVERIFY(GroupState(form->grp_Term, true).isEmpty());
    QVERIFY(GroupState(form->grp_AutoChange, true).isEmpty());
    // Model A, reported off.
    QVERIFY(form->btn_PowerState->isEnabled());
    QVERIFY(!form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("OFF"));
    QCOMPARE(InputsEnabled(form), (QList<bool>{true, true, true}));
    QCOMPARE(InputsDown(form), Only(m_rig->Switcher().SelectedInput()));
    QCOMPARE(form->txt_RunState->text(), kStopped);
    QCOMPARE(form->txt_TimeMode->text(), kNoMode);

    // A Stop click with nothing running changes nothing.
    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    Refreshed(form);
    QVERIFY(form->btn_Stop->isEnabled());
    QVERIFY(form->btn_ComPortState->Down());
}

void TestRefresh::portOpenRunning() {
    TFormMain* form = m_rig->Form();
    QVERIFY(StartEveryTime());
    QVERIFY(!form->cmb_Model->isEnabled());
    QVERIFY(!form->cmb_ComPortNum->isEnabled());
    QVERIFY(!form->btn_ComPortState->isEnabled());
    QVERIFY(form->btn_ComPortState->Down());
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Close"));
    QVERIFY(form->btn_Start->isEnabled());
    QVERIFY(form->btn_Stop->isEnabled());
    QVERIFY2(GroupState(form->grp_Term, false).isEmpty(),
             qPrintable(GroupState(form->grp_Term, false)));
    QVERIFY2(GroupState(form->grp_AutoChange, false).isEmpty(),
             qPrintable(GroupState(form->grp_AutoChange, false)));
    QVERIFY(form->btn_PowerState->isEnabled());
    // Start powered the device on; the power query follows 650 ms later.
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("ON"));
    QCOMPARE(InputsEnabled(form), (QList<bool>{true, true, true}));
    QCOMPARE(InputsDown(form), Only(1));
    QCOMPARE(form->txt_RunState->text(), kRunning);
    QVERIFY(form->txt_RunState->font().bold());
    QCOMPARE(form->txt_RunState->palette().color(QPalette::WindowText),
             SystemColor(form->txt_RunState, QPalette::Link));
    QVERIFY(SystemColor(form->txt_RunState, QPalette::Link) !=
            SystemColor(form->txt_RunState, QPalette::WindowText));
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("モード：常時切り替え"));
    QCOMPARE(form->txt_RunState->size(), form->txt_RunState->sizeHint());

    // Stop: back to the open, stopped view.
    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    QVERIFY(!form->AutoChangeRunning());
    Refreshed(form);
    QVERIFY(form->btn_ComPortState->isEnabled());
    QVERIFY(form->btn_ComPortState->Down());
    QVERIFY(GroupState(form->grp_Term, true).isEmpty());
    QVERIFY(GroupState(form->grp_AutoChange, true).isEmpty());
    QCOMPARE(form->txt_RunState->text(), kStopped);
    QVERIFY(!form->txt_RunState->font().bold());
    QCOMPARE(form->txt_RunState->palette().color(QPalette::WindowText),
             SystemColor(form->txt_RunState, QPalette::WindowText));
    QCOMPARE(form->txt_TimeMode->text(), kNoMode);
}

void TestRefresh::timeWindowTextFollowsTheClock() {
    TFormMain* form = m_rig->Form();
    SetNow(QTime(12, 0));
    Clock::SetSource([] { return g_now; });
    SetWindow(form, {1, 2}, QTime(8, 0), QTime(17, 0));
    QVERIFY(OpenAndSettle(*m_rig));
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    QCOMPARE(form->Mode_AutoSelectSource(), mdSetTime);
    Refreshed(form);
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("モード：時間指定（時間内実行中）"));
    // Nothing but the clock moves.
    SetNow(QTime(17, 0));
    Refreshed(form);
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("モード：時間指定（時間外）"));
    QCOMPARE(form->txt_TimeMode->size(), form->txt_TimeMode->sizeHint());
    SetNow(QTime(8, 0));
    Refreshed(form);
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("モード：時間指定（時間内実行中）"));
    QCOMPARE(form->txt_RunState->text(), kRunning);
}

void TestRefresh::powerAndInputFollowTheReports() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));

    sw.SetPowerOn(true);
    sw.SetSelectedInput(3);
    form->tmr_CheckPower->SetEnabled(true);
    form->tmr_CheckSource->SetEnabled(true);
    QTRY_VERIFY(form->Model()->PowerState() == psPowerOn &&
                form->Model()->SelectedSourceNum() == 3);
    Refreshed(form);
    QVERIFY(form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("ON"));
    QCOMPARE(InputsDown(form), Only(3));

    sw.SetPowerOn(false);
    sw.SetSelectedInput(2);
    form->tmr_CheckPower->SetEnabled(true);
    form->tmr_CheckSource->SetEnabled(true);
    QTRY_VERIFY(form->Model()->PowerState() == psPowerOff &&
                form->Model()->SelectedSourceNum() == 2);
    Refreshed(form);
    QVERIFY(!form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("OFF"));
    QCOMPARE(InputsDown(form), Only(2));
}

void TestRefresh::unknownReportedInputLeavesAllUp() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    QCOMPARE(InputsDown(form), Only(1));
    // The device reports an input the window has no button for.
    sw.SetSelectedInput(4);
    form->tmr_CheckSource->SetEnabled(true);
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 4);
    Refreshed(form);
    QCOMPARE(InputsDown(form), (QList<bool>{false, false, false}));
    QCOMPARE(InputsEnabled(form), (QList<bool>{true, true, true}));
    // And 0, no input.
    sw.SetSelectedInput(2);
    form->tmr_CheckSource->SetEnabled(true);
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 2);
    Refreshed(form);
    QCOMPARE(InputsDown(form), Only(2));
    sw.SetSelectedInput(0);
    form->tmr_CheckSource->SetEnabled(true);
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 0);
    Refreshed(form);
    QCOMPARE(InputsDown(form), (QList<bool>{false, false, false}));
}

void TestRefresh::closingThePortKeepsTheLastStatesAndForgetsTheInput() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    sw.SetPowerOn(true);
    sw.SetSelectedInput(2);
    QVERIFY(OpenAndSettle(*m_rig));
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->Down());
    QCOMPARE(InputsDown(form), Only(2));

    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
    Refreshed(form);
    QCOMPARE(InputsEnabled(form), (QList<bool>{false, false, false}));
    QCOMPARE(InputsDown(form), Only(2));
    // Model A, port closed: disabled, last text and state kept.
    QVERIFY(!form->btn_PowerState->isEnabled());
    QVERIFY(form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("ON"));
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);
    // Forgotten again at every refresh while the port stays closed.
    form->Model()->SetSelectedSourceNum(3);
    Refreshed(form);
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);
    QCOMPARE(InputsDown(form), Only(2));

    // Open again: all up until the device reports.
    m_rig->SelectPort(3);
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(m_rig->Module()->Connected());
    Refreshed(form);
    QCOMPARE(InputsEnabled(form), (QList<bool>{true, true, true}));
    QCOMPARE(InputsDown(form), (QList<bool>{false, false, false}));
    QTRY_VERIFY(Refreshed(form) && InputsDown(form) == Only(2));
}

void TestRefresh::modelBPowerButtonIsUpAndDisabled() {
    TFormMain* form = m_rig->Form();
    m_rig->Switcher().SetPowerOn(true);
    QVERIFY(OpenAndSettle(*m_rig));
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->Down());
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
    Refreshed(form);

    // Model A left "ON" on the button; model B takes it up and keeps the text.
    QTest::keyClick(form->cmb_Model, Qt::Key_Down);
    QVERIFY(dynamic_cast<TRsx24q*>(form->Model()) != nullptr);
    Refreshed(form);
    QVERIFY(!form->btn_PowerState->Down());
    QVERIFY(!form->btn_PowerState->isEnabled());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("ON"));

    // The same with the port open, against a model-B switcher.
    m_rig.reset();
    AppRig::Options options;
    options.model = VirtualSwitcher::Model::B;
    m_rig = std::make_unique<AppRig>(options);
    form = m_rig->Form();
    QTest::keyClick(form->cmb_Model, Qt::Key_Down);
    QVERIFY(dynamic_cast<TRsx24q*>(form->Model()) != nullptr);
    Refreshed(form);
    QVERIFY(!form->btn_PowerState->isEnabled());
    m_rig->Switcher().SetSelectedInput(3);
    QVERIFY(OpenAndSettle(*m_rig));
    QVERIFY(!form->btn_PowerState->Down());
    QVERIFY(!form->btn_PowerState->isEnabled());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("OFF"));
    QCOMPARE(InputsDown(form), Only(3));
    // A button set down by any means is taken up again.
    form->btn_PowerState->SetDown(true);
    Refreshed(form);
    QVERIFY(!form->btn_PowerState->Down());
}

void TestRefresh::clickedInputComesBackToTheReportedOne() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    QCOMPARE(InputsDown(form), Only(1));
    // The device answers when the test says so.
    sw.SetMute(true);
    sw.ClearFrames();

    QTest::mouseClick(form->btn_Source_02, Qt::LeftButton);
    QCOMPARE(InputsDown(form), Only(2)); // the click itself
    Refreshed(form);
    QCOMPARE(InputsDown(form), Only(1)); // the last report again
    QTRY_COMPARE(sw.Frames(), (QByteArrayList{"SRC2", "GET"}));
    Refreshed(form);
    QCOMPARE(InputsDown(form), Only(1));
    QCOMPARE(sw.SelectedInput(), 2);
    sw.InjectRaw("\x1bget2\r");
    QTRY_VERIFY(Refreshed(form) && InputsDown(form) == Only(2));
}

void TestRefresh::clickedPowerComesBackToTheReportedState() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    QVERIFY(!form->btn_PowerState->Down());
    sw.SetMute(true);
    sw.ClearFrames();

    QTest::mouseClick(form->btn_PowerState, Qt::LeftButton);
    QVERIFY(form->btn_PowerState->Down());
    Refreshed(form);
    QVERIFY(!form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("OFF"));
    QTRY_COMPARE(sw.Frames(), (QByteArrayList{"PWR1", "PWR?"}));
    Refreshed(form);
    QVERIFY(!form->btn_PowerState->Down());
    QVERIFY(sw.PowerOn());
    sw.InjectRaw("\x1bpwr1\r");
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("ON"));
}

void TestRefresh::lostPortWhileRunningKeepsStopReachable() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartEveryTime());
    QVERIFY(!form->btn_ComPortState->isEnabled());

    sw.Stop(); // the device goes away
    QTRY_VERIFY(!m_rig->Module()->Connected());
    Refreshed(form);
    QVERIFY(!form->btn_Start->isEnabled());
    // Stop stays within reach, or only exiting would end the switching.
    QVERIFY(form->btn_Stop->isEnabled());
    QVERIFY(!form->btn_ComPortState->isEnabled());
    QVERIFY(!form->btn_ComPortState->Down());
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Open"));
    QVERIFY(form->cmb_ComPortNum->isEnabled());
    QVERIFY(form->cmb_Model->isEnabled());
    QCOMPARE(form->txt_RunState->text(), kRunning);

    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    Refreshed(form);
    QVERIFY(!form->btn_Stop->isEnabled());
    QCOMPARE(form->txt_RunState->text(), kStopped);
    // Stopped with the port closed: the operator can open the port again.
    QVERIFY(form->btn_ComPortState->isEnabled());
    QVERIFY(sw.Start());
    m_rig->SelectPort(3);
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(m_rig->Module()->Connected());
    Refreshed(form);
    QVERIFY(form->btn_ComPortState->Down());
    QVERIFY(form->btn_Start->isEnabled());
}

void TestRefresh::hiddenWindowIsNotRefreshed() {
    TFormMain* form = m_rig->Form();
    QVERIFY(OpenAndSettle(*m_rig));
    const int reported = form->Model()->SelectedSourceNum();
    QVERIFY(reported >= 1);

    form->hide();
    m_rig->Module()->CloseComPort();
    form->ApplicationEvents1Idle();
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Close"));
    QVERIFY(form->btn_ComPortState->Down());
    QVERIFY(form->btn_Start->isEnabled());
    QCOMPARE(form->Model()->SelectedSourceNum(), reported);

    // The first refresh after the show catches up.
    form->TrayIcon1Click();
    QVERIFY(form->isVisible());
    Refreshed(form);
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Open"));
    QVERIFY(!form->btn_ComPortState->Down());
    QVERIFY(!form->btn_Start->isEnabled());
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);
}

void TestRefresh::failedOpenComesBackUpAfterTheBox() {
    TFormMain* form = m_rig->Form();
    m_rig->SelectPort(3);
    m_rig->Switcher().Stop();
    // While the box is up its own loop runs, and announces idle moments as every loop does.
    int idleMoments = 0;
    bool downWhileUp = false;
    QString textWhileUp;
    WhileBoxIsUp() = [&] {
        QEventLoop boxLoop;
        QObject context;
        connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                &context, [&] {
                    if (++idleMoments == 3)
                        boxLoop.quit();
                });
        QTimer::singleShot(5000, &boxLoop, &QEventLoop::quit);
        boxLoop.exec();
        downWhileUp = form->btn_ComPortState->Down();
        textWhileUp = form->btn_ComPortState->text();
    };

    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    WhileBoxIsUp() = {};
    QCOMPARE(ShownBoxes().size(), 1);
    QCOMPARE(idleMoments, 3);
    // Held while the box is up: the button stays as the click left it.
    QVERIFY(downWhileUp);
    QCOMPARE(textWhileUp, QStringLiteral("Open"));
    QCOMPARE(LogRecords(*m_rig, QStringLiteral("TFormMain_btn_ComPortStateClick")), 1);
    // The first refresh after the handler releases it.
    Refreshed(form);
    QVERIFY(!form->btn_ComPortState->Down());
}

void TestRefresh::enableGroupControlsVisitsOnlyDirectChildren() {
    QGroupBox group;
    auto* direct = new QLineEdit(&group);
    auto* holder = new QWidget(&group);
    auto* nested = new QLineEdit(holder);
    nested->setEnabled(false); // its own setting, which the routine must not touch

    EnableGroupControls(&group, false);
    QVERIFY(!group.isEnabled());
    QVERIFY(direct->testAttribute(Qt::WA_ForceDisabled));
    QVERIFY(holder->testAttribute(Qt::WA_ForceDisabled));
    QVERIFY(nested->testAttribute(Qt::WA_ForceDisabled));

    nested->setEnabled(true);
    EnableGroupControls(&group, false);
    QVERIFY(!nested->testAttribute(Qt::WA_ForceDisabled)); // not visited
    nested->setEnabled(false);
    EnableGroupControls(&group, true);
    QVERIFY(group.isEnabled());
    QVERIFY(direct->isEnabled());
    QVERIFY(holder->isEnabled());
    QVERIFY(!nested->isEnabled()); // still its own setting
}

void TestRefresh::refreshWithNothingChangedPaintsNothing() {
    TFormMain* form = m_rig->Form();
    QVERIFY(QTest::qWaitForWindowExposed(form));
    QVERIFY(StartEveryTime());
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->Down());
    form->tmr_RollSelectSource->SetEnabled(false); // no switch while counting
    // No blinking cursor anywhere.
    if (QWidget* focus = QApplication::focusWidget())
        focus->clearFocus();
    Flush();

    PaintCounter paints(form);
    for (int i = 0; i < 50; ++i) {
        Refreshed(form);
        Flush();
    }
    QCOMPARE(paints.Count(), 0);

    // The counter does see a change.
    form->Model()->SetSelectedSourceNum(3);
    Refreshed(form);
    Flush();
    QVERIFY(paints.Count() > 0);
}

INCYCLER_APP_TEST_MAIN(TestRefresh)
#include "tst_refresh.moc"
