// The window with a notification area present (run on a private X server with a tray by
// with-tray.sh): a close request hides the window into the tray, the switching goes on, and
// the icon brings the window back as a fresh show; the icon and its menu stay usable while
// an error box is open.

#include "ControlSupport.h"

#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QTimer>
#include <QWindow>

using namespace ControlSupport;

class TestTray : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();

    void closeRequestHidesIntoTheTray();
    void iconClickOnAMinimisedWindowRestoresIt();
    void iconAndMenuWorkWhileABoxIsOpen();

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
    RecordBoxes(true);
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

    // The icon brings it back with the running state. A show of a hidden window starts the
    // interval afresh only while nothing runs: the disabled field is left as it was.
    form->TrayIcon1Click();
    QTRY_VERIFY(form->isVisible());
    QVERIFY(!form->isMinimized());
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));
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

namespace {

// The icon as the notification area shows it: a window of its own that takes the clicks.
// Clicks go to the window, as the X server's do, so that a modal box can block them.
QWindow* IconWindow() {
    const auto windows = QApplication::topLevelWidgets();
    for (QWidget* w : windows) {
        if (qstrcmp(w->metaObject()->className(), "QSystemTrayIconSys") == 0 && w->isVisible())
            return w->windowHandle();
    }
    return nullptr;
}

} // namespace

void TestTray::iconAndMenuWorkWhileABoxIsOpen() {
    TFormMain* form = m_rig->Form();
    RecordBoxes(false); // the real box, with its own loop
    QTRY_VERIFY(IconWindow() != nullptr);
    m_rig->SelectPort(3);
    m_rig->Switcher().Stop();
    QVERIFY(!form->close()); // into the tray
    QVERIFY(!form->isVisible());

    // What the operator does while the port's error box waits for OK.
    bool boxUp = false, shownByClick = false, menuOpened = false, shownByMenu = false;
    QWidget* boxOwner = nullptr;
    QTimer::singleShot(0, form, [&] {
        QMessageBox* box = nullptr;
        boxUp = QTest::qWaitFor([&] {
            box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            return box != nullptr && box->isVisible();
        });
        if (!boxUp)
            return;
        boxOwner = box->parentWidget();
        QTest::mouseClick(IconWindow(), Qt::LeftButton);
        shownByClick = QTest::qWaitFor([&] { return form->isVisible(); });
        QVERIFY(!form->close());
        QTest::mouseClick(IconWindow(), Qt::RightButton);
        menuOpened = QTest::qWaitFor([&] { return form->PopupMenu1->isVisible(); });
        if (menuOpened) {
            const QPoint entry = form->PopupMenu1->actionGeometry(form->ppm_Show).center();
            QTest::mouseClick(form->PopupMenu1->windowHandle(), Qt::LeftButton, {}, entry);
            shownByMenu = QTest::qWaitFor([&] { return form->isVisible(); });
        }
        // The box is still the one the operator is to answer.
        if (QApplication::activeModalWidget() == box)
            box->button(QMessageBox::Ok)->click();
        else
            box->close();
    });
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);

    QVERIFY(boxUp);
    QCOMPARE(boxOwner, form);
    QVERIFY(shownByClick);
    QVERIFY(menuOpened);
    QVERIFY(shownByMenu);
    // The handler went on once the box was closed.
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    QCOMPARE(LogRecords(*m_rig, QStringLiteral("TFormMain_btn_ComPortStateClick")), 1);
}

INCYCLER_APP_TEST_MAIN(TestTray)
#include "tst_tray.moc"
