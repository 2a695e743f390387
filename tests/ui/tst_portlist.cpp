// The serial port list: its fixed entries before the first reload, the reload from the
// port directory when the list opens or gets a key, and how an entry becomes a port number.

#include "ControlSupport.h"
#include "common/Errors.h"

#include <QDir>
#include <QFile>
#include <QKeyEvent>

using namespace ControlSupport;

namespace {

QStringList Items(QComboBox* box) {
    QStringList items;
    for (int i = 0; i < box->count(); ++i)
        items.append(box->itemText(i));
    return items;
}

QStringList FixedEntries() {
    QStringList entries{QString()};
    for (int n = 1; n <= 20; ++n)
        entries.append(QStringLiteral("COM%1").arg(n));
    return entries;
}

// The title the error report gives this test program: its file name up to the first ".",
// the first character kept and the rest in lower case.
const QString kTitle = QStringLiteral("tst_portlist");

} // namespace

class TestPortList : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void fixedEntriesBeforeAnyReload();
    void onlyPortEntriesInNumericOrder();
    void openingTheListReloadsIt();
    void everyKeyReloadsBeforeItsEffect_data();
    void everyKeyReloadsBeforeItsEffect();
    void focusKeysDoNotReachTheList();
    void noPortsLeavesTheListEmptyAndDisabled();
    void entryThatIsNotAPortNumber_data();
    void entryThatIsNotAPortNumber();

private:
    // A second switcher as COM10 and things in the port directory that are not ports.
    void PopulatePortDir();

    std::unique_ptr<AppRig> m_rig;
    std::unique_ptr<VirtualSwitcher> m_com10;
};

void TestPortList::init() {
    m_rig = std::make_unique<AppRig>();
    QVERIFY(QTest::qWaitForWindowActive(m_rig->Form()));
}

void TestPortList::cleanup() {
    m_com10.reset();
    m_rig.reset();
}

void TestPortList::PopulatePortDir() {
    VirtualSwitcher::Options options;
    options.comNumber = 10;
    options.portDir = m_rig->PortDir();
    m_com10 = std::make_unique<VirtualSwitcher>(options);
    QVERIFY(m_com10->Start());

    const QDir dir(m_rig->PortDir());
    const QString device = m_rig->Switcher().SlavePath(); // a real character device
    // Named like a port but not a device.
    QFile file(dir.filePath(QStringLiteral("COM5")));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    QVERIFY(dir.mkdir(QStringLiteral("COM7")));
    // Devices, but not named "COM" and a number.
    QVERIFY(QFile::link(device, dir.filePath(QStringLiteral("COMx"))));
    QVERIFY(QFile::link(device, dir.filePath(QStringLiteral("COM"))));
    QVERIFY(QFile::link(device, dir.filePath(QStringLiteral("ttyS0"))));
}

void TestPortList::fixedEntriesBeforeAnyReload() {
    TFormMain* form = m_rig->Form();
    QCOMPARE(Items(form->cmb_ComPortNum), FixedEntries());
    QCOMPARE(form->cmb_ComPortNum->currentIndex(), 0);

    // The empty entry: "Open" does nothing and reports nothing.
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
    QVERIFY(ShownBoxes().isEmpty());
    Refreshed(form);
    QVERIFY(!form->btn_ComPortState->Down());

    // A fixed entry chosen without a reload gives its number like any other.
    form->cmb_ComPortNum->setCurrentIndex(20);
    QCOMPARE(form->GetSelectedComPortNum(), 20);
    form->cmb_ComPortNum->setCurrentIndex(3);
    QCOMPARE(form->GetSelectedComPortNum(), 3);
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(m_rig->Module()->Connected());
    QCOMPARE(Items(form->cmb_ComPortNum), FixedEntries()); // still not reloaded
}

void TestPortList::onlyPortEntriesInNumericOrder() {
    PopulatePortDir();
    TFormMain* form = m_rig->Form();
    form->LoadComPortList();
    // COM10 sorts before COM3 as text; the list is in port order.
    QCOMPARE(Items(form->cmb_ComPortNum), (QStringList{"COM3", "COM10"}));
    QCOMPARE(form->cmb_ComPortNum->currentIndex(), 0);
    QVERIFY(form->cmb_ComPortNum->isEnabled());
    QCOMPARE(form->GetSelectedComPortNum(), 3);
    form->cmb_ComPortNum->setCurrentIndex(1);
    QCOMPARE(form->GetSelectedComPortNum(), 10);
    // The entry opens the port it names.
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(m_rig->Module()->Connected());
    QTRY_COMPARE(m_com10->Frames(), QByteArrayList{"PWR?"});
    QCOMPARE(m_rig->Switcher().Frames(), QByteArrayList{});
}

void TestPortList::openingTheListReloadsIt() {
    PopulatePortDir();
    TFormMain* form = m_rig->Form();
    TComPortComboBox* list = form->cmb_ComPortNum;
    QTest::mouseClick(list, Qt::LeftButton);
    QTRY_VERIFY(list->view()->isVisible());
    QCOMPARE(Items(list), (QStringList{"COM3", "COM10"}));
    QCOMPARE(list->currentIndex(), 0);
    list->hidePopup();
    list->setCurrentIndex(1);

    // A port plugged in while the program runs shows at the next opening.
    VirtualSwitcher::Options options;
    options.comNumber = 5;
    options.portDir = m_rig->PortDir();
    QFile::remove(QDir(m_rig->PortDir()).filePath(QStringLiteral("COM5")));
    VirtualSwitcher com5(options);
    QVERIFY(com5.Start());
    QTest::mouseClick(list, Qt::LeftButton);
    QTRY_VERIFY(list->view()->isVisible());
    QCOMPARE(Items(list), (QStringList{"COM3", "COM5", "COM10"}));
    QCOMPARE(list->currentIndex(), 0); // the first entry highlighted again
    list->hidePopup();
}

void TestPortList::everyKeyReloadsBeforeItsEffect_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("index"); // after the key, on the reloaded list

    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << 0;
    QTest::newRow("Ctrl alone") << int(Qt::Key_Control) << int(Qt::ControlModifier) << 0;
    // Down moves on from the first entry of the reloaded list, not from the one selected.
    QTest::newRow("Down") << int(Qt::Key_Down) << int(Qt::NoModifier) << 1;
    QTest::newRow("Up") << int(Qt::Key_Up) << int(Qt::NoModifier) << 0;
    QTest::newRow("End") << int(Qt::Key_End) << int(Qt::NoModifier) << 1;
}

void TestPortList::everyKeyReloadsBeforeItsEffect() {
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, index);
    PopulatePortDir();
    TFormMain* form = m_rig->Form();
    TComPortComboBox* list = form->cmb_ComPortNum;
    list->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(list->hasFocus());
    list->setCurrentIndex(15); // a fixed entry, before any reload

    QTest::keyPress(list, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(Items(list), (QStringList{"COM3", "COM10"}));
    QCOMPARE(list->currentIndex(), index);
    QTest::keyRelease(list, Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    QCOMPARE(list->currentIndex(), index);

    // A second key reloads again and resets the selection first.
    list->setCurrentIndex(1);
    QTest::keyClick(list, Qt::Key_Shift, Qt::ShiftModifier);
    QCOMPARE(list->currentIndex(), 0);
}

void TestPortList::focusKeysDoNotReachTheList() {
    PopulatePortDir();
    TFormMain* form = m_rig->Form();
    TComPortComboBox* list = form->cmb_ComPortNum;
    list->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(list->hasFocus());
    list->setCurrentIndex(15);
    QTest::keyClick(list, Qt::Key_Tab);
    QCOMPARE(Items(list), FixedEntries());
    QCOMPARE(list->currentIndex(), 15);
    QVERIFY(!list->hasFocus());
}

void TestPortList::noPortsLeavesTheListEmptyAndDisabled() {
    TFormMain* form = m_rig->Form();
    TComPortComboBox* list = form->cmb_ComPortNum;
    m_rig->Switcher().Stop(); // the only port goes away
    QVERIFY(QDir(m_rig->PortDir()).isEmpty());

    list->setFocus(Qt::TabFocusReason);
    QTRY_VERIFY(list->hasFocus());
    QTest::keyClick(list, Qt::Key_Down);
    QCOMPARE(list->count(), 0);
    QCOMPARE(list->currentIndex(), -1);
    QVERIFY(list->currentText().isEmpty());
    QVERIFY(!list->isEnabled());

    // Nothing to open: the port button does nothing and reports nothing.
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(!m_rig->Module()->Connected());
    QVERIFY(ShownBoxes().isEmpty());
    // The refresh enables the list again while the port is closed.
    Refreshed(form);
    QVERIFY(list->isEnabled());
    QVERIFY(!form->btn_ComPortState->Down());

    // A reload through the directory that is back again lists the port.
    QVERIFY(m_rig->Switcher().Start());
    QTest::mouseClick(list, Qt::LeftButton);
    QTRY_VERIFY(list->view()->isVisible());
    QCOMPARE(Items(list), QStringList{"COM3"});
    list->hidePopup();
}

void TestPortList::entryThatIsNotAPortNumber_data() {
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("text");

    QTest::newRow("other driver") << "USBSER1"
                                  << "'USBSER1' は整数ではありません.";
    QTest::newRow("COM and a letter") << "COMx"
                                      << "'x' は整数ではありません.";
    QTest::newRow("COM alone") << "COM"
                               << "'' は整数ではありません.";
    // "COM" is matched by case.
    QTest::newRow("lower case") << "com3"
                                << "'com3' は整数ではありません.";
}

void TestPortList::entryThatIsNotAPortNumber() {
    QFETCH(QString, entry);
    QFETCH(QString, text);
    TFormMain* form = m_rig->Form();
    // As a driver might register it: an entry the reload would not produce here.
    form->cmb_ComPortNum->addItem(entry);
    form->cmb_ComPortNum->setCurrentIndex(form->cmb_ComPortNum->count() - 1);
    QVERIFY_THROWS_EXCEPTION(EConvertError, form->GetSelectedComPortNum());

    // The error ends the click's handler and reaches the application's report.
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    // The only box: no box of the port button's own.
    QCOMPARE(BoxLines(), QStringList{kTitle + QLatin1Char('|') + text});
    QVERIFY(!m_rig->Module()->Connected());
    QVERIFY(m_rig->Switcher().Frames().isEmpty());
    // The button came down on the click and goes up at the next refresh.
    QVERIFY(form->btn_ComPortState->Down());
    Refreshed(form);
    QVERIFY(!form->btn_ComPortState->Down());
    QCOMPARE(form->btn_ComPortState->text(), QStringLiteral("Open"));

    // The button works as before: a port entry now opens the port.
    form->cmb_ComPortNum->setCurrentIndex(form->cmb_ComPortNum->findText(QStringLiteral("COM3")));
    QTest::mouseClick(form->btn_ComPortState, Qt::LeftButton);
    QVERIFY(m_rig->Module()->Connected());
    QCOMPARE(ShownBoxes().size(), 1);
}

INCYCLER_APP_TEST_MAIN(TestPortList)
#include "tst_portlist.moc"
