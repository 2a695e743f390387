#include "ControlSupport.h"

#include <QTimer>

using namespace ControlSupport;

// The rotation is driven tick by tick (the handler called as the timer would), each tick
// followed by the device's answer to the input query; nothing waits out an interval.
class TestRotation : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void startWithOneInputShowsTheBoxAndSendsNothing();
    void startWhoseOpenFailsLogsOnce();
    void rotationFollowsTheReportedInput();
    void unlistedReportRestartsFromTheFirst();
    void muteSwitcherGetsTheFirstEveryTime();
    void secondStartChangesNothingAndStopThenStartRestarts();
    void manualChoiceIsWhereTheRotationGoesOn();
    void intervalFromSpinAndUnit_data();
    void intervalFromSpinAndUnit();
    void stopInsideATickStaysAStop();
    void stopInsideStartStaysAStop();
    void lostPortLogsEveryTickAndResumes();
    void modelBSendsNoPowerCommand();
    void commandLineSettingsStayInTheControls();

private:
    bool Start(const QList<int>& inputs);
    bool Tick();

    std::unique_ptr<AppRig> m_rig;
};

void TestRotation::init() {
    m_rig = std::make_unique<AppRig>();
}

void TestRotation::cleanup() {
    m_rig.reset();
}

bool TestRotation::Start(const QList<int>& inputs) {
    TFormMain* form = m_rig->Form();
    SetEveryTime(form, inputs);
    if (!OpenAndSettle(*m_rig))
        return false;
    m_rig->Switcher().ClearFrames();
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    return form->AutoChangeRunning() && SettleSourcePoll(*m_rig);
}

bool TestRotation::Tick() {
    m_rig->Form()->tmr_RollSelectSourceTimer();
    return SettleSourcePoll(*m_rig);
}

void TestRotation::startWithOneInputShowsTheBoxAndSendsNothing() {
    TFormMain* form = m_rig->Form();
    SetEveryTime(form, {2});
    QVERIFY(OpenAndSettle(*m_rig));
    m_rig->Switcher().ClearFrames();
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QCOMPARE(ShownBoxes().size(), 1);
    QCOMPARE(ShownBoxes().first().owner, form);
    QCOMPARE(ShownBoxes().first().text,
             QStringLiteral("切り替え対象の入力ソースを2個以上選択して下さい。"));
    QCOMPARE(ShownBoxes().first().caption, QStringLiteral("エラー"));
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    QVERIFY(!form->tmr_CheckSource->Enabled());
    QVERIFY(!form->tmr_CheckPower->Enabled());
    QVERIFY(m_rig->Module()->Connected());
    QCOMPARE(form->AutoSelectParam().AutoSelectSource_List->size(), 1);
    QCoreApplication::processEvents();
    QCOMPARE(m_rig->Switcher().Frames(), QByteArrayList{});
}

void TestRotation::startWhoseOpenFailsLogsOnce() {
    TFormMain* form = m_rig->Form();
    SetEveryTime(form, {1, 2});
    m_rig->SelectPort(3);
    m_rig->Switcher().Stop();
    form->btn_StartClick(); // the button is disabled while the port is closed
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    QVERIFY(ShownBoxes().isEmpty());
    QCOMPARE(m_rig->LogLines().size(), 1);
    QCOMPARE(LogRecords(*m_rig, QStringLiteral("TFormMain_btn_StartClick")), 1);
}

void TestRotation::rotationFollowsTheReportedInput() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(Start({1, 3}));
    // Powered off as reported: power on first, its query 650 ms later.
    QCOMPARE(sw.Frames().mid(0, 2), (QByteArrayList{"PWR1", "SRC1"}));
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    QCOMPARE(form->tmr_RollSelectSource->Interval(), 5000);
    QCOMPARE(form->AutoSelectParam().Interval, qint64(5000));
    QTRY_COMPARE(form->Model()->PowerState(), psPowerOn);
    QVERIFY(GapMs(sw, "PWR1", "PWR?") >= 600);

    QVERIFY(Tick());
    QVERIFY(Tick());
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC3", "SRC1"}));
    QCOMPARE(sw.SelectedInput(), 1);
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    QVERIFY(form->AutoChangeRunning());
}

void TestRotation::unlistedReportRestartsFromTheFirst() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(Start({1, 3}));
    sw.SetSelectedInput(2);
    form->tmr_CheckSource->SetEnabled(true);
    QVERIFY(SettleSourcePoll(*m_rig));
    QCOMPARE(form->Model()->SelectedSourceNum(), 2);
    QVERIFY(Tick());
    QCOMPARE(Selects(sw).last(), QByteArray("SRC1"));
}

void TestRotation::muteSwitcherGetsTheFirstEveryTime() {
    VirtualSwitcher& sw = m_rig->Switcher();
    sw.SetMute(true);
    TFormMain* form = m_rig->Form();
    SetEveryTime(form, {2, 3});
    m_rig->SelectPort(3);
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(m_rig->Module()->Connected());
    QTRY_VERIFY(sw.Frames().contains("GET"));
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    for (int i = 0; i < 3; ++i) {
        // Each query goes out unanswered before the next tick.
        QTRY_COMPARE(FramesWith(sw, "GET").size(), 2 + i);
        QVERIFY(Tick());
    }
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC2", "SRC2", "SRC2", "SRC2"}));
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);
}

void TestRotation::secondStartChangesNothingAndStopThenStartRestarts() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(Start({1, 2, 3}));
    QVERIFY(Tick());
    QCOMPARE(form->Model()->SelectedSourceNum(), 2);
    QTRY_COMPARE(form->Model()->PowerState(), psPowerOn);

    form->btn_StartClick();
    QCoreApplication::processEvents();
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC2"}));

    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    QVERIFY(m_rig->Module()->Connected());

    QTRY_VERIFY(Refreshed(form) && form->btn_Start->isEnabled());
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    QVERIFY(SettleSourcePoll(*m_rig));
    // Powered on by now: no second power command.
    QCOMPARE(FramesWith(sw, "PWR1").size(), 1);
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC2", "SRC1"}));
}

void TestRotation::manualChoiceIsWhereTheRotationGoesOn() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(Start({1, 2, 3}));
    QTRY_VERIFY(Refreshed(form) && form->btn_Source_03->isEnabled());
    QTest::mouseClick(form->btn_Source_03, Qt::LeftButton);
    QVERIFY(SettleSourcePoll(*m_rig));
    QCOMPARE(form->Model()->SelectedSourceNum(), 3);
    QVERIFY(Tick());
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC3", "SRC1"}));
}

void TestRotation::intervalFromSpinAndUnit_data() {
    QTest::addColumn<int>("unit");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("interval");
    QTest::newRow("120 seconds") << 0 << 120 << 120000;
    QTest::newRow("2 minutes") << 1 << 2 << 120000;
    QTest::newRow("120 minutes") << 1 << 120 << 7200000;
}

void TestRotation::intervalFromSpinAndUnit() {
    QFETCH(int, unit);
    QFETCH(int, value);
    QFETCH(int, interval);
    TFormMain* form = m_rig->Form();
    SetEveryTime(form, {1, 2});
    form->cmb_IntervalUnit->setCurrentIndex(unit);
    form->cmb_IntervalUnitChange();
    form->spn_Interval->SetValue(value);
    QVERIFY(OpenAndSettle(*m_rig));
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    QCOMPARE(form->AutoSelectParam().Interval, qint64(interval));
    QCOMPARE(form->tmr_RollSelectSource->Interval(), interval);
    QCOMPARE(form->Mode_AutoSelectSource(), mdEveryTime);
}

void TestRotation::stopInsideATickStaysAStop() {
    TFormMain* form = m_rig->Form();
    QVERIFY(Start({1, 2}));
    QTRY_VERIFY(Refreshed(form) && form->btn_Stop->isEnabled());
    // Queued before the tick: runs while the tick's select command is written.
    bool inTick = false, stoppedInTick = false;
    QTimer::singleShot(0, form, [&] {
        stoppedInTick = inTick;
        form->btn_Stop->click();
    });
    inTick = true;
    form->tmr_RollSelectSourceTimer();
    inTick = false;
    QVERIFY(stoppedInTick);
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    QTRY_COMPARE(Selects(m_rig->Switcher()).size(), 2);
}

void TestRotation::stopInsideStartStaysAStop() {
    TFormMain* form = m_rig->Form();
    // A Stop queued before the click runs while Start writes its first select command.
    const auto startWithAStopInside = [form] {
        bool inStart = false, stoppedInStart = false;
        QTimer::singleShot(0, form, [&] {
            stoppedInStart = inStart;
            form->btn_Stop->click();
        });
        inStart = true;
        form->btn_StartClick();
        return stoppedInStart;
    };
    SetEveryTime(form, {1, 2});
    QVERIFY(OpenAndSettle(*m_rig));
    QVERIFY(startWithAStopInside());
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled());

    // The same for a Start that goes to wait for its window (an empty one never opens).
    SetWindow(form, {1, 2}, QTime(8, 0), QTime(8, 0));
    QVERIFY(startWithAStopInside());
    QVERIFY(!form->AutoChangeRunning());
    QVERIFY(!form->tmr_RollSelectSource->Enabled() && !form->WindowOpeningAlarm()->Armed());
}

void TestRotation::lostPortLogsEveryTickAndResumes() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(Start({1, 3}));
    sw.Stop();
    QTRY_VERIFY(!m_rig->Module()->Connected());
    Refreshed(form); // the visible window forgets the reported input while the port is closed
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);
    const QString proc = QStringLiteral("TFormMain_AutoSelectSource");
    for (int i = 1; i <= 2; ++i) {
        form->tmr_RollSelectSourceTimer();
        QCOMPARE(LogRecords(*m_rig, proc), i);
        QVERIFY(form->tmr_RollSelectSource->Enabled()); // retried at the next tick
        QVERIFY(!form->tmr_CheckSource->Enabled());
    }
    QCOMPARE(m_rig->LogLines().size(), 2);
    QVERIFY(ShownBoxes().isEmpty());
    QVERIFY(form->AutoChangeRunning());

    QVERIFY(sw.Start());
    sw.ClearFrames();
    QVERIFY(Tick());
    QVERIFY(m_rig->Module()->Connected());
    QCOMPARE(Selects(sw), QByteArrayList{"SRC1"});
    QVERIFY(Tick());
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC3"}));
    QCOMPARE(LogRecords(*m_rig, proc), 2);
}

void TestRotation::modelBSendsNoPowerCommand() {
    AppRig::Options options;
    options.model = VirtualSwitcher::Model::B;
    m_rig.reset();
    m_rig = std::make_unique<AppRig>(options);
    TFormMain* form = m_rig->Form();
    form->cmb_Model->setCurrentIndex(1);
    form->cmb_ModelChange();
    SetEveryTime(form, {1, 3});
    QVERIFY(OpenAndSettle(*m_rig));
    m_rig->Switcher().ClearFrames();
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    QVERIFY(!form->tmr_CheckPower->Enabled());
    QVERIFY(SettleSourcePoll(*m_rig));
    QVERIFY(Tick());
    QCOMPARE(m_rig->Switcher().Frames(), (QByteArrayList{"X24Q1", "X24QG", "X24Q3", "X24QG"}));
    QVERIFY(ShownBoxes().isEmpty());
}

void TestRotation::commandLineSettingsStayInTheControls() {
    TFormMain* form = m_rig->Form();
    TRotateParams params;
    params.ComPortNum = 3;
    params.Inputs = {1, 3};
    params.IntervalValue = 2;
    params.IntervalUnitIndex = 1;
    params.TimeWindow = true;
    params.StartTime = QTime(0, 0, 0);
    params.EndTime = QTime(23, 59, 59);
    form->SetRotateParams(params);
    QTRY_VERIFY(form->AutoChangeRunning());
    QCOMPARE(FramesWith(m_rig->Switcher(), "PWR1").size(), 1);

    // Shown again from the tray while running: the disabled controls keep what runs, and
    // Stop then Start runs the same again.
    form->hide();
    form->ppm_Show->trigger();
    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    QVERIFY(!form->AutoChangeRunning());
    QTRY_VERIFY(Refreshed(form) && form->btn_Start->isEnabled());
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    QCOMPARE(form->cmb_ComPortNum->currentText(), QStringLiteral("COM3"));
    QVERIFY(form->rb_Shitei->isChecked());
    QCOMPARE(form->dt_End->time(), QTime(23, 59, 59));
    QCOMPARE(form->spn_Interval->Value(), 2);
    QCOMPARE(form->Mode_AutoSelectSource(), mdSetTime);
    QCOMPARE(form->AutoSelectParam().Interval, qint64(120000));
    QCOMPARE(*form->AutoSelectParam().AutoSelectSource_List, (QList<int>{1, 3}));
}

INCYCLER_APP_TEST_MAIN(TestRotation)
#include "tst_rotation.moc"
