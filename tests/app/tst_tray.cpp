// The window with a notification area present (run on a private X server with a tray by
// with-tray.sh): a close request hides the window into the tray, the switching goes on, and
// the icon brings the window back as a fresh show.

#include "ControlSupport.h"

#include <QLabel>

using namespace ControlSupport;

class TestTray : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void closeRequestHidesIntoTheTray();
    void iconClickOnAMinimisedWindowRestoresIt();

private:
    std::unique_ptr<AppRig> m_rig;
};

void TestTray::initTestCase() {
    // The tray program docks a moment after the server is up.
    QTRY_VERIFY_WITH_TIMEOUT(QSystemTrayIcon::isSystemTrayAvailable(), 30000);
}

void TestTray::init() {
    m_rig = std::make_unique<AppRig>();
    QVERIFY(QTest::qWaitForWindowExposed(m_rig->Form()));
}

void TestTray::cleanup() {
    m_rig.reset();
}

void TestTray::closeRequestHidesIntoTheTray() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartRotation(*m_rig, {1, 3}));
    form->spn_Interval->SetValue(30);

    QVERIFY(!form->close());
    QVERIFY(!form->DoExit());
    QVERIFY(!form->isVisible());
    QVERIFY(form->TrayIcon1->isVisible());
    QVERIFY(ShownBoxes().isEmpty());

    // Hidden, the switching goes on and the window is not refreshed.
    sw.ClearFrames();
    form->tmr_RollSelectSourceTimer();
    QTRY_COMPARE(Selects(sw), QByteArrayList{"SRC3"});
    QVERIFY(SettleSourcePoll(*m_rig));
    form->ApplicationEvents1Idle();
    QCOMPARE(form->btn_Source_03->Down(), false);

    // The icon brings it back: a show of a hidden window, so the interval starts afresh,
    // and the running state is shown.
    form->TrayIcon1Click();
    QTRY_VERIFY(form->isVisible());
    QVERIFY(!form->isMinimized());
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("5"));
    Refreshed(form);
    QCOMPARE(form->txt_RunState->text(), QStringLiteral("自動切り替え実行中"));
    QVERIFY(form->btn_Source_03->Down());
}

void TestTray::iconClickOnAMinimisedWindowRestoresIt() {
    TFormMain* form = m_rig->Form();
    form->spn_Interval->SetValue(30);
    form->showMinimized();
    QTRY_VERIFY(form->isMinimized());
    form->TrayIcon1Click();
    QTRY_VERIFY(!form->isMinimized());
    QVERIFY(form->isVisible());
    // Not a show of a hidden window: the interval is kept.
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));
}

INCYCLER_APP_TEST_MAIN(TestTray)
#include "tst_tray.moc"
