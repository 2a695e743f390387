// The window's own small handlers: the interval unit and the shows that reset the interval,
// and the model list that replaces the current model.

#include "ControlSupport.h"

using namespace ControlSupport;

class TestSettings : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void unitChangeResetsTheValueToTheNewMinimum();
    void showFromHiddenResetsTheInterval_data();
    void showFromHiddenResetsTheInterval();
    void showOfAVisibleWindowKeepsTheInterval();
    void modelChangeGivesAFreshModel();
    void modelListIsLockedWhileThePortIsOpen();

private:
    void PickUnit(int index);
    void TypeInterval(const QString& text);

    std::unique_ptr<AppRig> m_rig;
};

void TestSettings::init() {
    m_rig = std::make_unique<AppRig>();
    QVERIFY(QTest::qWaitForWindowActive(m_rig->Form()));
}

void TestSettings::cleanup() {
    m_rig.reset();
}

// As the operator picks an entry: with the keyboard, which announces the choice.
void TestSettings::PickUnit(int index) {
    QComboBox* unit = m_rig->Form()->cmb_IntervalUnit;
    while (unit->currentIndex() < index)
        QTest::keyClick(unit, Qt::Key_Down);
    while (unit->currentIndex() > index)
        QTest::keyClick(unit, Qt::Key_Up);
}

void TestSettings::TypeInterval(const QString& text) {
    TSpinEdit* spin = m_rig->Form()->spn_Interval;
    spin->selectAll();
    QTest::keyClick(spin, Qt::Key_Backspace);
    QTest::keyClicks(spin, text);
    QCOMPARE(spin->Text(), text);
}

void TestSettings::unitChangeResetsTheValueToTheNewMinimum() {
    TFormMain* form = m_rig->Form();
    TSpinEdit* spin = form->spn_Interval;
    // The first show has applied the seconds.
    QCOMPARE(spin->MinValue(), 5);
    QCOMPARE(spin->Value(), 5);

    TypeInterval(QStringLiteral("30"));
    PickUnit(1);
    QCOMPARE(spin->MinValue(), 1);
    QCOMPARE(spin->MaxValue(), 120);
    QCOMPARE(spin->Text(), QStringLiteral("1"));

    // 30 would do for seconds too; the value goes back to the minimum all the same.
    TypeInterval(QStringLiteral("30"));
    PickUnit(0);
    QCOMPARE(spin->MinValue(), 5);
    QCOMPARE(spin->MaxValue(), 120);
    QCOMPARE(spin->Text(), QStringLiteral("5"));

    // An index that is neither unit changes nothing.
    TypeInterval(QStringLiteral("30"));
    form->cmb_IntervalUnit->setCurrentIndex(-1);
    form->cmb_IntervalUnitChange();
    QCOMPARE(spin->Text(), QStringLiteral("30"));
    QCOMPARE(spin->MinValue(), 5);
}

void TestSettings::showFromHiddenResetsTheInterval_data() {
    QTest::addColumn<bool>("fromMenu"); // the tray menu's show entry, or a click on the icon
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("expected");

    QTest::newRow("icon, seconds") << false << 0 << "5";
    QTest::newRow("icon, minutes") << false << 1 << "1";
    QTest::newRow("menu, seconds") << true << 0 << "5";
    QTest::newRow("menu, minutes") << true << 1 << "1";
}

void TestSettings::showFromHiddenResetsTheInterval() {
    QFETCH(bool, fromMenu);
    QFETCH(int, unit);
    QFETCH(QString, expected);
    TFormMain* form = m_rig->Form();
    PickUnit(unit);
    TypeInterval(QStringLiteral("30"));

    form->hide(); // as the close request does when the window goes to the tray
    QVERIFY(!form->isVisible());
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));
    if (fromMenu)
        form->ppm_Show->trigger();
    else
        form->TrayIcon1Click();
    QVERIFY(form->isVisible());
    QVERIFY(!form->isMinimized());
    QCOMPARE(form->spn_Interval->Text(), expected);
    // The unit itself is kept.
    QCOMPARE(form->cmb_IntervalUnit->currentIndex(), unit);
}

void TestSettings::showOfAVisibleWindowKeepsTheInterval() {
    TFormMain* form = m_rig->Form();
    TypeInterval(QStringLiteral("30"));

    // Already visible: the show entry and the icon only bring it forward.
    form->ppm_Show->trigger();
    form->TrayIcon1Click();
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));

    // Restored from minimised: still no show of a hidden window.
    form->showMinimized();
    QTRY_VERIFY(form->isMinimized());
    form->TrayIcon1Click();
    QTRY_VERIFY(!form->isMinimized());
    QVERIFY(form->isVisible());
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));
    form->showMinimized();
    QTRY_VERIFY(form->isMinimized());
    form->ppm_Show->trigger();
    QTRY_VERIFY(!form->isMinimized());
    QCOMPARE(form->spn_Interval->Text(), QStringLiteral("30"));
}

void TestSettings::modelChangeGivesAFreshModel() {
    TFormMain* form = m_rig->Form();
    QVERIFY(dynamic_cast<TRsx24p*>(form->Model()) != nullptr);
    // State the new model must not inherit.
    form->Model()->SetPowerState(psPowerOn);
    form->Model()->SetSelectedSourceNum(2);

    QTest::keyClick(form->cmb_Model, Qt::Key_Down);
    QCOMPARE(form->cmb_Model->currentText(), QStringLiteral("RSX-24Q"));
    QVERIFY(dynamic_cast<TRsx24q*>(form->Model()) != nullptr);
    QCOMPARE(form->Model()->PowerState(), psNone);
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);

    form->Model()->SetSelectedSourceNum(3);
    QTest::keyClick(form->cmb_Model, Qt::Key_Up);
    QVERIFY(dynamic_cast<TRsx24p*>(form->Model()) != nullptr);
    QCOMPARE(form->Model()->PowerState(), psNone);
    QCOMPARE(form->Model()->SelectedSourceNum(), 0);

    // Picking the entry that is already chosen replaces the model as well.
    form->Model()->SetPowerState(psPowerOff);
    emit form->cmb_Model->activated(0);
    QVERIFY(dynamic_cast<TRsx24p*>(form->Model()) != nullptr);
    QCOMPARE(form->Model()->PowerState(), psNone);
}

void TestSettings::modelListIsLockedWhileThePortIsOpen() {
    TFormMain* form = m_rig->Form();
    QVERIFY(OpenAndSettle(*m_rig));
    QVERIFY(!form->cmb_Model->isEnabled());
    TModel* before = form->Model();
    const int reported = before->SelectedSourceNum();
    QVERIFY(reported >= 1);
    QTest::keyClick(form->cmb_Model, Qt::Key_Down);
    QCOMPARE(form->cmb_Model->currentIndex(), 0);
    QVERIFY(dynamic_cast<TRsx24p*>(form->Model()) != nullptr);
    QCOMPARE(form->Model()->SelectedSourceNum(), reported);
}

INCYCLER_APP_TEST_MAIN(TestSettings)
#include "tst_settings.moc"
