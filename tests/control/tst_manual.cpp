#include "ControlSupport.h"

#include <QElapsedTimer>

using namespace ControlSupport;

class TestManual : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void openWithModelAAsksPowerAtOnceAndInputLater();
    void openWithModelBAsksOnlyInput();
    void emptyPortTextDoesNothing();
    void failedOpenShowsTheBoxThenLogsOnce();
    void closeByButton();
    void clickingThePressedInputSendsZero();
    void twoInputClicksGiveOneQuery();
    void powerButtonSendsTheOppositeAndAlwaysAsks();
    void lostPortIsReopenedOrLoggedUnderTheHandlersName();
    void pollsSendNothingDuringTeardown();

private:
    std::unique_ptr<AppRig> m_rig;
};

void TestManual::init() {
    m_rig = std::make_unique<AppRig>();
}

void TestManual::cleanup() {
    m_rig.reset();
}

void TestManual::openWithModelAAsksPowerAtOnceAndInputLater() {
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(m_rig->OpenPortByButton(3));
    QTRY_COMPARE(sw.Frames().size(), 2);
    QCOMPARE(sw.Frames(), (QByteArrayList{"PWR?", "GET"}));
    // The input query waits for its 100 ms poll (timestamps are read times: some slack).
    QVERIFY2(GapMs(sw, "PWR?", "GET") >= 90, qPrintable(QString::number(GapMs(sw, "PWR?", "GET"))));
    TFormMain* form = m_rig->Form();
    QTRY_COMPARE(form->Model()->PowerState(), psPowerOff);
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 1);
    QVERIFY(!form->tmr_CheckSource->Enabled());
}

void TestManual::openWithModelBAsksOnlyInput() {
    AppRig::Options options;
    options.model = VirtualSwitcher::Model::B;
    m_rig.reset();
    m_rig = std::make_unique<AppRig>(options);
    TFormMain* form = m_rig->Form();
    form->cmb_Model->setCurrentIndex(1);
    form->cmb_ModelChange();
    QVERIFY(m_rig->OpenPortByButton(3));
    QTRY_VERIFY(!m_rig->Switcher().Frames().isEmpty());
    // The poll has fired and nothing else is pending: this is all the opening sends.
    QTRY_VERIFY(!form->tmr_CheckSource->Enabled());
    QVERIFY(!form->tmr_CheckPower->Enabled());
    QCOMPARE(m_rig->Switcher().Frames(), QByteArrayList{"X24QG"});
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 1);
}

void TestManual::emptyPortTextDoesNothing() {
    TFormMain* form = m_rig->Form();
    QVERIFY(form->cmb_ComPortNum->currentText().isEmpty());
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
    QVERIFY(ShownBoxes().isEmpty());
    QVERIFY(m_rig->LogLines().isEmpty());
    QVERIFY(!form->tmr_CheckSource->Enabled());
    // The refresh releases the button again.
    QTRY_VERIFY(Refreshed(form) && !form->btn_ComPortState->Down());
}

void TestManual::failedOpenShowsTheBoxThenLogsOnce() {
    TFormMain* form = m_rig->Form();
    m_rig->SelectPort(3);
    m_rig->Switcher().Stop();
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
    QCOMPARE(ShownBoxes().size(), 1);
    const ShownBox& box = ShownBoxes().first();
    QCOMPARE(box.owner, form);
    // The reason below the fixed text: the switcher's link went with it.
    QCOMPARE(box.text, QStringLiteral("COMポートオープンに失敗しました。\r\n"
                                      "ケーブル接続やポート番号をご確認ください。\r\n"
                                      "COM3 (%1/COM3): no such device")
                           .arg(m_rig->PortDir()));
    QCOMPARE(box.caption, QStringLiteral("エラー"));
    QCOMPARE(box.logLinesAtShow, 0); // the record comes after the box
    QCOMPARE(m_rig->LogLines().size(), 1);
    QCOMPARE(LogRecords(*m_rig, QStringLiteral("TFormMain_btn_ComPortStateClick")), 1);
    QVERIFY(!form->tmr_CheckSource->Enabled());
}

void TestManual::closeByButton() {
    TFormMain* form = m_rig->Form();
    QVERIFY(OpenAndSettle(*m_rig));
    QTRY_VERIFY(Refreshed(form) && form->btn_ComPortState->Down() &&
                form->btn_ComPortState->isEnabled());
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
}

void TestManual::clickingThePressedInputSendsZero() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    sw.SetSelectedInput(2);
    QVERIFY(OpenAndSettle(*m_rig));
    QTRY_VERIFY(Refreshed(form) && form->btn_Source_02->Down() && form->btn_Source_02->isEnabled());
    sw.ClearFrames();
    QTest::mouseClick(form->btn_Source_02, Qt::LeftButton);
    QTRY_COMPARE(sw.Frames(), (QByteArrayList{"SRC0", "GET"}));
    QVERIFY(GapMs(sw, "SRC0", "GET") >= 90);
}

void TestManual::twoInputClicksGiveOneQuery() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    QTRY_VERIFY(Refreshed(form) && form->btn_Source_02->isEnabled());
    sw.ClearFrames();
    QElapsedTimer clicks;
    clicks.start();
    QTest::mouseClick(form->btn_Source_02, Qt::LeftButton);
    QTest::mouseClick(form->btn_Source_03, Qt::LeftButton);
    if (clicks.elapsed() >= 90)
        QSKIP("the two clicks were not within 100 ms on this machine");
    QTRY_VERIFY(sw.Frames().contains("GET"));
    // With the poll disarmed after its query, no second query can follow.
    QVERIFY(!form->tmr_CheckSource->Enabled());
    QCOMPARE(sw.Frames(), (QByteArrayList{"SRC2", "SRC3", "GET"}));
    QVERIFY(GapMs(sw, "SRC2", "GET") >= 90);
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 3);
    QTRY_VERIFY(Refreshed(form) && form->btn_Source_03->Down() && !form->btn_Source_02->Down());
}

void TestManual::powerButtonSendsTheOppositeAndAlwaysAsks() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    QTRY_COMPARE(form->Model()->PowerState(), psPowerOff);
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->isEnabled() &&
                !form->btn_PowerState->Down());

    sw.ClearFrames();
    QTest::mouseClick(form->btn_PowerState, Qt::LeftButton);
    QTRY_COMPARE(sw.Frames(), (QByteArrayList{"PWR1", "PWR?"}));
    QVERIFY(GapMs(sw, "PWR1", "PWR?") >= 600);
    QTRY_COMPARE(form->Model()->PowerState(), psPowerOn);
    QTRY_VERIFY(Refreshed(form) && form->btn_PowerState->Down());
    QCOMPARE(form->btn_PowerState->text(), QStringLiteral("ON"));

    // A click that leaves the button as the device already reports: no command, the query
    // all the same.
    sw.ClearFrames();
    form->btn_PowerState->SetDown(true);
    form->btn_PowerStateClick();
    QVERIFY(form->tmr_CheckPower->Enabled());
    QTRY_VERIFY(!form->tmr_CheckPower->Enabled());
    QTRY_COMPARE(sw.Frames(), QByteArrayList{"PWR?"});

    sw.ClearFrames();
    QTest::mouseClick(form->btn_PowerState, Qt::LeftButton); // now up, reported on
    QTRY_COMPARE(sw.Frames(), (QByteArrayList{"PWR0", "PWR?"}));
    QTRY_COMPARE(form->Model()->PowerState(), psPowerOff);
}

void TestManual::lostPortIsReopenedOrLoggedUnderTheHandlersName() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    sw.Stop();
    QTRY_VERIFY(!m_rig->Module()->Connected());

    // Power and input buttons: one record each, no box, nothing armed.
    form->btn_PowerState->SetDown(true);
    form->btn_PowerStateClick();
    form->btn_Source_03->SetDown(true);
    form->btn_Source_xxClick(form->btn_Source_03);
    QCOMPARE(LogRecords(*m_rig, QStringLiteral("TFormMain_btn_PowerStateClick")), 1);
    QCOMPARE(LogRecords(*m_rig, QStringLiteral("TFormMain_btn_Source_xxClick")), 1);
    QCOMPARE(m_rig->LogLines().size(), 2);
    QVERIFY(ShownBoxes().isEmpty());
    QVERIFY(!form->tmr_CheckSource->Enabled());
    QVERIFY(!form->tmr_CheckPower->Enabled());

    // The device back: the input button opens the port itself and sends its command.
    QVERIFY(sw.Start());
    sw.ClearFrames();
    form->btn_Source_03->SetDown(true);
    form->btn_Source_xxClick(form->btn_Source_03);
    QVERIFY(m_rig->Module()->Connected());
    QTRY_COMPARE(sw.Frames(), (QByteArrayList{"SRC3", "GET"}));
    QTRY_COMPARE(form->Model()->SelectedSourceNum(), 3);
    QCOMPARE(m_rig->LogLines().size(), 2);
}

void TestManual::pollsSendNothingDuringTeardown() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    sw.ClearFrames();
    form->MarkDestroying();
    form->tmr_CheckSourceTimer();
    form->tmr_CheckPowerTimer();
    form->tmr_RollSelectSourceTimer();
    // Sends are written before SendCmd returns; the switcher reads them on the next pass.
    QCoreApplication::processEvents();
    QVERIFY(!form->tmr_RollSelectSource->Enabled());
    QTRY_VERIFY(m_rig->Module()->RcvBuff().isEmpty());
    QCOMPARE(sw.Frames(), QByteArrayList{});
}

INCYCLER_APP_TEST_MAIN(TestManual)
#include "tst_manual.moc"
