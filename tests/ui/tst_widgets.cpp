// The two widgets the window's manual controls and settings rely on: toggle buttons in
// groups, and the interval field with the window's own key filter.

#include "ControlSupport.h"

#include <QKeyEvent>
#include <QLineEdit>

using namespace ControlSupport;

namespace {

// What a toggle button's Click handler saw.
struct Seen {
    TToggleButton* sender;
    bool senderDown;
    QList<bool> groupDown; // the states of the group watched, at that moment
};

} // namespace

class TestWidgets : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void toggleGroupsArePerParentAndNumber();
    void clickFlipsThenRunsTheHandler();
    void clickThatDoesNotCount();
    void settingFromCodeRunsNoHandler();

    void onlyDigitsAndBackspaceCanBeTyped();
    void atMostThreeCharacters();
    void leavingTheFieldClampsIntoTheLimits_data();
    void leavingTheFieldClampsIntoTheLimits();
    void emptyFieldReadsAsTheMinimum();
    void arrowKeysStepWithinTheLimits();

private:
    // A shown window with the field focused and empty, in the given unit.
    TSpinEdit* FocusedEmptyField(int unitIndex);

    std::unique_ptr<AppRig> m_rig;
};

void TestWidgets::cleanup() {
    m_rig.reset();
}

void TestWidgets::toggleGroupsArePerParentAndNumber() {
    QWidget first;
    QWidget second;
    TToggleButton a1(QStringLiteral("a1"), 2, 1, &first);
    TToggleButton a2(QStringLiteral("a2"), 2, 2, &first);
    TToggleButton a3(QStringLiteral("a3"), 2, 3, &first);
    TToggleButton alone(QStringLiteral("alone"), 1, 1, &first);
    TToggleButton elsewhere(QStringLiteral("elsewhere"), 2, 1, &second);

    for (TToggleButton* b : {&a1, &a2, &a3, &alone, &elsewhere})
        QVERIFY(!b->Down());
    elsewhere.SetDown(true);
    alone.SetDown(true);
    a1.SetDown(true);
    QVERIFY(a1.Down());
    // Same number, other parent; same parent, other number: neither is released.
    QVERIFY(elsewhere.Down());
    QVERIFY(alone.Down());

    a2.SetDown(true);
    QVERIFY(!a1.Down());
    QVERIFY(a2.Down());
    QVERIFY(!a3.Down());
    QVERIFY(alone.Down());
    // All up is allowed.
    a2.SetDown(false);
    QVERIFY(!a1.Down() && !a2.Down() && !a3.Down());
    // Setting up a button that is up changes nothing in the group.
    a3.SetDown(true);
    a1.SetDown(false);
    QVERIFY(a3.Down());
}

void TestWidgets::clickFlipsThenRunsTheHandler() {
    QWidget parent;
    parent.resize(300, 100);
    auto* b1 = new TToggleButton(QStringLiteral("1"), 2, 1, &parent);
    auto* b2 = new TToggleButton(QStringLiteral("2"), 2, 2, &parent);
    b1->setGeometry(0, 0, 75, 55);
    b2->setGeometry(80, 0, 75, 55);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));

    QList<Seen> seen;
    for (TToggleButton* b : {b1, b2})
        connect(b, &TToggleButton::Click, &parent, [&](TToggleButton* sender) {
            seen.append({sender, sender->Down(), {b1->Down(), b2->Down()}});
        });

    QTest::mouseClick(b1, Qt::LeftButton);
    QCOMPARE(seen.size(), 1);
    QCOMPARE(seen[0].sender, b1);
    QVERIFY(seen[0].senderDown); // up to down, seen by the handler

    // A click on the other one of the group: down, and the first released.
    QTest::mouseClick(b2, Qt::LeftButton);
    QCOMPARE(seen.size(), 2);
    QCOMPARE(seen[1].sender, b2);
    QVERIFY(seen[1].senderDown);
    QVERIFY(!b1->Down());

    // A click on the pressed one: up, all up.
    QTest::mouseClick(b2, Qt::LeftButton);
    QCOMPARE(seen.size(), 3);
    QCOMPARE(seen[2].sender, b2);
    QVERIFY(!seen[2].senderDown);
    QCOMPARE(seen[2].groupDown, (QList<bool>{false, false}));
}

void TestWidgets::clickThatDoesNotCount() {
    QWidget parent;
    parent.resize(300, 100);
    auto* b = new TToggleButton(QStringLiteral("1"), 2, 1, &parent);
    b->setGeometry(0, 0, 75, 55);
    parent.show();
    QVERIFY(QTest::qWaitForWindowExposed(&parent));
    int clicks = 0;
    connect(b, &TToggleButton::Click, &parent, [&] { ++clicks; });

    // Pressed inside, released outside.
    QTest::mousePress(b, Qt::LeftButton, {}, QPoint(10, 10));
    QTest::mouseRelease(b, Qt::LeftButton, {}, QPoint(200, 10));
    QCOMPARE(clicks, 0);
    QVERIFY(!b->Down());

    // A disabled button ignores the mouse.
    b->setEnabled(false);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(clicks, 0);
    QVERIFY(!b->Down());
    b->setEnabled(true);
    QTest::mouseClick(b, Qt::LeftButton);
    QCOMPARE(clicks, 1);
    QVERIFY(b->Down());
}

void TestWidgets::settingFromCodeRunsNoHandler() {
    QWidget parent;
    auto* b1 = new TToggleButton(QStringLiteral("1"), 2, 1, &parent);
    auto* b2 = new TToggleButton(QStringLiteral("2"), 2, 2, &parent);
    int clicks = 0;
    for (TToggleButton* b : {b1, b2})
        connect(b, &TToggleButton::Click, &parent, [&] { ++clicks; });
    b1->SetDown(true);
    b2->SetDown(true); // releases b1 from code as well
    b2->SetDown(false);
    QCOMPARE(clicks, 0);
    QVERIFY(!b1->Down() && !b2->Down());
}

TSpinEdit* TestWidgets::FocusedEmptyField(int unitIndex) {
    m_rig.reset(); // one program at a time: the globals belong to the first
    m_rig = std::make_unique<AppRig>();
    TFormMain* form = m_rig->Form();
    if (!QTest::qWaitForWindowActive(form))
        return nullptr;
    form->cmb_IntervalUnit->setCurrentIndex(unitIndex);
    form->cmb_IntervalUnitChange();
    form->spn_Interval->setFocus(Qt::TabFocusReason);
    if (!QTest::qWaitFor([&] { return form->spn_Interval->hasFocus(); }, 5000))
        return nullptr;
    form->spn_Interval->findChild<QLineEdit*>()->clear();
    return form->spn_Interval;
}

void TestWidgets::onlyDigitsAndBackspaceCanBeTyped() {
    TSpinEdit* spin = FocusedEmptyField(0);
    QVERIFY(spin != nullptr);
    // Letters, signs, the decimal separator, a space and a full-width digit go nowhere.
    QTest::keyClicks(spin, QStringLiteral("a+-., "));
    QKeyEvent wide(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QStringLiteral("１"));
    QApplication::sendEvent(spin, &wide);
    QCOMPARE(spin->Text(), QString());
    QTest::keyClicks(spin, QStringLiteral("1x2"));
    QCOMPARE(spin->Text(), QStringLiteral("12"));
    QTest::keyClick(spin, Qt::Key_Return);
    QTest::keyClick(spin, Qt::Key_Enter);
    QCOMPARE(spin->Text(), QStringLiteral("12"));
    // Control characters other than backspace are dropped too: no paste, no undo.
    QTest::keyClick(spin, Qt::Key_V, Qt::ControlModifier);
    QTest::keyClick(spin, Qt::Key_Z, Qt::ControlModifier);
    QCOMPARE(spin->Text(), QStringLiteral("12"));
    QTest::keyClick(spin, Qt::Key_Backspace);
    QCOMPARE(spin->Text(), QStringLiteral("1"));
    QTest::keyClick(spin, Qt::Key_Backspace);
    QCOMPARE(spin->Text(), QString());
    QTest::keyClicks(spin, QStringLiteral("90"));
    QCOMPARE(spin->Value(), 90);
}

void TestWidgets::atMostThreeCharacters() {
    TSpinEdit* spin = FocusedEmptyField(0);
    QVERIFY(spin != nullptr);
    QTest::keyClicks(spin, QStringLiteral("1234"));
    QCOMPARE(spin->Text(), QStringLiteral("123"));
    QTest::keyClick(spin, Qt::Key_Backspace);
    QTest::keyClicks(spin, QStringLiteral("0"));
    QCOMPARE(spin->Text(), QStringLiteral("120"));
}

void TestWidgets::leavingTheFieldClampsIntoTheLimits_data() {
    QTest::addColumn<int>("unit");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("left");

    QTest::newRow("seconds, 0") << 0 << "0"
                                << "5";
    QTest::newRow("seconds, 4") << 0 << "4"
                                << "5";
    QTest::newRow("seconds, 5") << 0 << "5"
                                << "5";
    QTest::newRow("seconds, 999") << 0 << "999"
                                  << "120";
    QTest::newRow("seconds, 121") << 0 << "121"
                                  << "120";
    QTest::newRow("seconds, 060") << 0 << "060"
                                  << "060"; // inside: left as typed
    QTest::newRow("minutes, 0") << 1 << "0"
                                << "1";
    QTest::newRow("minutes, 1") << 1 << "1"
                                << "1";
    QTest::newRow("minutes, 500") << 1 << "500"
                                  << "120";
}

void TestWidgets::leavingTheFieldClampsIntoTheLimits() {
    QFETCH(int, unit);
    QFETCH(QString, typed);
    QFETCH(QString, left);
    TSpinEdit* spin = FocusedEmptyField(unit);
    QVERIFY(spin != nullptr);
    QTest::keyClicks(spin, typed);
    QCOMPARE(spin->Text(), typed);
    // Read before leaving: the text as it stands.
    QCOMPARE(spin->Value(), typed.toInt());
    m_rig->Form()->cmb_IntervalUnit->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(!spin->hasFocus());
    QCOMPARE(spin->Text(), left);
}

void TestWidgets::emptyFieldReadsAsTheMinimum() {
    TSpinEdit* spin = FocusedEmptyField(0);
    QVERIFY(spin != nullptr);
    QCOMPARE(spin->Value(), 5);
    m_rig->Form()->cmb_IntervalUnit->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(!spin->hasFocus());
    QCOMPARE(spin->Value(), 5);

    spin = FocusedEmptyField(1);
    QVERIFY(spin != nullptr);
    QCOMPARE(spin->Value(), 1);
}

void TestWidgets::arrowKeysStepWithinTheLimits() {
    TSpinEdit* spin = FocusedEmptyField(0);
    QVERIFY(spin != nullptr);
    QTest::keyClicks(spin, QStringLiteral("6"));
    QTest::keyClick(spin, Qt::Key_Down);
    QCOMPARE(spin->Value(), 5);
    QTest::keyClick(spin, Qt::Key_Down);
    QCOMPARE(spin->Value(), 5);
    QTest::keyClick(spin, Qt::Key_Up);
    QCOMPARE(spin->Value(), 6);
    spin->SetValue(119);
    QTest::keyClick(spin, Qt::Key_Up);
    QTest::keyClick(spin, Qt::Key_Up);
    QCOMPARE(spin->Value(), 120);
    // Setting the value from code clamps as well.
    spin->SetValue(0);
    QCOMPARE(spin->Value(), 5);
    spin->SetValue(1000);
    QCOMPARE(spin->Value(), 120);
}

INCYCLER_APP_TEST_MAIN(TestWidgets)
#include "tst_widgets.moc"
