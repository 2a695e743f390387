#include "ControlSupport.h"

#include "common/Clock.h"
#include "control/SwitchingRules.h"

#include <QLabel>
#include <QSignalSpy>

using namespace ControlSupport;

namespace {

// The moment the program believes it is; fixed, so that every reading inside a handler
// gives the same time of day. Each change is announced as a clock set.
QDateTime g_now;

void SetNow(QTime time) {
    g_now = QDateTime(QDate(2024, 5, 1), time);
    Clock::AnnounceSet();
}

// A running clock instead, for the tests that need one: base plus the monotonic time since
// base was set.
QDateTime g_base;
qint64 g_baseNs = 0;

QDateTime RunningNow() {
    return g_base.addMSecs((VirtualSwitcher::MonotonicNs() - g_baseNs) / 1000000);
}

constexpr int kBackstop = SwitchingRules::WaitingBackstopMs;

} // namespace

// The time-window mode against the virtual switcher, with the program's clock fixed at
// chosen moments. The switcher is muted once the port is open, so the reported input stays
// what the test sets and no late answer can change it.
class TestTimeWindow : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void emptyWindowSelectsZeroOnce();
    void firstFiringInTheWindow_data();
    void firstFiringInTheWindow();
    void startInsideAlignsToTheGrid_data();
    void startInsideAlignsToTheGrid();
    void lastSwitchBeforeTheEndThenWaiting();
    void stepBackWhileWaitingSendsNothingEarly();
    void stalledCountdownIsCaughtByTheWallClock();
    void stopAndTheMarkEndTheWait();

private:
    bool StartAt(QTime now, const QList<int>& inputs, QTime start, QTime end);
    // Starts 08:00-17:00 with IN1 and IN3 on a running clock that reads `now` at Start.
    bool StartRunningAt(QTime now);

    std::unique_ptr<AppRig> m_rig;
};

void TestTimeWindow::init() {
    SetNow(QTime(12, 0));
    Clock::SetSource([] { return g_now; });
    m_rig = std::make_unique<AppRig>();
}

void TestTimeWindow::cleanup() {
    m_rig.reset();
    Clock::SetSource({});
}

bool TestTimeWindow::StartAt(QTime now, const QList<int>& inputs, QTime start, QTime end) {
    TFormMain* form = m_rig->Form();
    SetWindow(form, inputs, start, end);
    if (!OpenAndSettle(*m_rig))
        return false;
    m_rig->Switcher().SetMute(true);
    m_rig->Switcher().ClearFrames();
    SetNow(now);
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    return form->AutoChangeRunning() && form->Mode_AutoSelectSource() == mdSetTime;
}

void TestTimeWindow::emptyWindowSelectsZeroOnce() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QSignalSpy ticks(form->tmr_RollSelectSource, &TWindowTimer::Timer);
    QVERIFY(StartAt(QTime(8, 0), {1, 2}, QTime(8, 0), QTime(8, 0)));
    // It never opens: only the backstop's look at the clock, and one after a clock set.
    QCOMPARE(form->tmr_RollSelectSource->Interval(), kBackstop);
    QVERIFY(form->WindowOpeningAlarm()->Armed());
    SetNow(QTime(12, 0));
    QTRY_COMPARE(ticks.size(), 1);
    QVERIFY(form->AutoChangeRunning());
    QCOMPARE(form->tmr_RollSelectSource->Interval(), kBackstop);
    QVERIFY(form->tmr_RollSelectSource->Enabled() && form->WindowOpeningAlarm()->Armed());
    QTRY_VERIFY(!form->tmr_CheckSource->Enabled());
    QCOMPARE(Selects(sw), QByteArrayList{"SRC0"});
    QVERIFY(Refreshed(form));
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("モード：時間指定（時間外）"));
}

void TestTimeWindow::firstFiringInTheWindow_data() {
    QTest::addColumn<QTime>("firing");
    QTest::addColumn<QByteArray>("select");
    // The device reports 1, listed in (1, 3): a restart selects 1, a continuation 3.
    QTest::newRow("as the window opens: restart") << QTime(8, 0, 0, 15) << QByteArray("SRC1");
    QTest::newRow("1.999 s late: restart") << QTime(8, 0, 1, 999) << QByteArray("SRC1");
    QTest::newRow("2 s late: go on") << QTime(8, 0, 2) << QByteArray("SRC3");
}

void TestTimeWindow::firstFiringInTheWindow() {
    QFETCH(QTime, firing);
    QFETCH(QByteArray, select);
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartAt(QTime(7, 30), {1, 3}, QTime(8, 0), QTime(17, 0)));
    // Outside: input 0 at Start, then asleep, for the backstop's time at the most.
    QCOMPARE(form->tmr_RollSelectSource->Interval(), kBackstop);
    QVERIFY(form->WindowOpeningAlarm()->Armed());
    QTRY_VERIFY(!form->tmr_CheckSource->Enabled());
    QCOMPARE(Selects(sw), QByteArrayList{"SRC0"});
    QCOMPARE(form->Model()->SelectedSourceNum(), 1);

    // The clock is set forward over the opening: the switch comes without the timer's end.
    SetNow(firing);
    QTRY_COMPARE(Selects(sw).size(), 2);
    QVERIFY(!form->WindowOpeningAlarm()->Armed());
    QCOMPARE(Selects(sw).last(), select);
    QCOMPARE(form->tmr_RollSelectSource->Interval(), 5000);
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    QVERIFY(Refreshed(form));
    QCOMPARE(form->txt_TimeMode->text(), QStringLiteral("モード：時間指定（時間内実行中）"));
}

void TestTimeWindow::startInsideAlignsToTheGrid_data() {
    QTest::addColumn<QTime>("start");
    QTest::addColumn<QTime>("end");
    QTest::addColumn<QTime>("now");
    QTest::addColumn<int>("delay");
    QTest::newRow("08-17 at 08:00:04.950")
        << QTime(8, 0) << QTime(17, 0) << QTime(8, 0, 4, 950) << 150;
    QTest::newRow("22-02 at 00:03:20.400, after midnight")
        << QTime(22, 0) << QTime(2, 0) << QTime(0, 3, 20, 400) << 4700;
    QTest::newRow("22-02 at exactly 22:00:00")
        << QTime(22, 0) << QTime(2, 0) << QTime(22, 0) << 5100;
    // Less than an interval left: the first input is the window's only one.
    QTest::newRow("08-17 at 16:59:57") << QTime(8, 0) << QTime(17, 0) << QTime(16, 59, 57) << 8000;
}

void TestTimeWindow::startInsideAlignsToTheGrid() {
    QFETCH(QTime, start);
    QFETCH(QTime, end);
    QFETCH(QTime, now);
    QFETCH(int, delay);
    TFormMain* form = m_rig->Form();
    QVERIFY(StartAt(now, {2, 3}, start, end));
    QCOMPARE(form->tmr_RollSelectSource->Interval(), delay);
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    QTRY_COMPARE(Selects(m_rig->Switcher()), QByteArrayList{"SRC2"});
    QCOMPARE(FramesWith(m_rig->Switcher(), "PWR1").size(), 1);
}

void TestTimeWindow::lastSwitchBeforeTheEndThenWaiting() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartAt(QTime(10, 0), {1, 3}, QTime(8, 0), QTime(17, 0)));
    QCOMPARE(form->tmr_RollSelectSource->Interval(), 5100);

    SetNow(QTime(16, 59, 57));
    form->tmr_RollSelectSourceTimer();
    QCOMPARE(form->tmr_RollSelectSource->Interval(), 8000);
    QTRY_COMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC3"}));

    // After the end: nothing sent, the device keeps its input, asleep until the morning.
    form->Model()->SetSelectedSourceNum(3);
    SetNow(QTime(17, 0, 5));
    form->tmr_RollSelectSourceTimer();
    QCOMPARE(form->tmr_RollSelectSource->Interval(), kBackstop);
    QVERIFY(form->tmr_RollSelectSource->Enabled() && form->WindowOpeningAlarm()->Armed());

    // The next morning the window's first firing starts over from the first input.
    SetNow(QTime(8, 0, 0, 10));
    QTRY_COMPARE(Selects(sw), (QByteArrayList{"SRC1", "SRC3", "SRC1"}));
    QCOMPARE(form->tmr_RollSelectSource->Interval(), 5000);
}

bool TestTimeWindow::StartRunningAt(QTime now) {
    TFormMain* form = m_rig->Form();
    SetWindow(form, {1, 3}, QTime(8, 0), QTime(17, 0));
    if (!OpenAndSettle(*m_rig))
        return false;
    m_rig->Switcher().SetMute(true);
    m_rig->Switcher().ClearFrames();
    g_base = QDateTime(QDate(2024, 5, 1), now);
    g_baseNs = VirtualSwitcher::MonotonicNs();
    Clock::SetSource(RunningNow);
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    return form->AutoChangeRunning() && form->WindowOpeningAlarm()->Armed();
}

void TestTimeWindow::stepBackWhileWaitingSendsNothingEarly() {
    TFormMain* form = m_rig->Form();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(StartRunningAt(QTime(7, 59, 58)));
    QVERIFY(form->tmr_RollSelectSource->Interval() <= 2000);

    // One second back: the opening is now three seconds away, not two.
    g_base = g_base.addMSecs(-1000);
    Clock::AnnounceSet();
    QTRY_COMPARE_WITH_TIMEOUT(Selects(sw).size(), 2, 10000);
    QCOMPARE(Selects(sw), (QByteArrayList{"SRC0", "SRC1"}));
    const VirtualSwitcher::TimedFrame first = [&] {
        for (const auto& f : sw.TimedFrames())
            if (f.text == "SRC1")
                return f;
        return VirtualSwitcher::TimedFrame{};
    }();
    const QDateTime received = g_base.addMSecs((first.monotonicNs - g_baseNs) / 1000000);
    QVERIFY2(received.time() >= QTime(8, 0), qPrintable(received.time().toString("HH:mm:ss.zzz")));
}

void TestTimeWindow::stalledCountdownIsCaughtByTheWallClock() {
    TFormMain* form = m_rig->Form();
    QVERIFY(StartRunningAt(QTime(7, 59, 58)));
    // As in a suspend: the monotonic countdown stops while the wall clock runs on.
    form->tmr_RollSelectSource->SetInterval(kBackstop);
    QTRY_COMPARE_WITH_TIMEOUT(Selects(m_rig->Switcher()), (QByteArrayList{"SRC0", "SRC1"}), 10000);
    QCOMPARE(form->tmr_RollSelectSource->Interval(), 5000);
}

void TestTimeWindow::stopAndTheMarkEndTheWait() {
    TFormMain* form = m_rig->Form();
    QSignalSpy due(form->WindowOpeningAlarm(), &TWallClockAlarm::Due);
    QVERIFY(StartAt(QTime(7, 30), {1, 3}, QTime(8, 0), QTime(17, 0)));
    QVERIFY(form->WindowOpeningAlarm()->Armed());
    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    QVERIFY(!form->WindowOpeningAlarm()->Armed() && !form->tmr_RollSelectSource->Enabled());
    SetNow(QTime(8, 0, 1)); // announced at once, were anyone listening
    QCOMPARE(due.size(), 0);

    SetNow(QTime(7, 30));
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->WindowOpeningAlarm()->Armed());
    form->MarkDestroying();
    QVERIFY(!form->WindowOpeningAlarm()->Armed());
    SetNow(QTime(8, 0, 1));
    QCOMPARE(due.size(), 0);
    QTRY_COMPARE(Selects(m_rig->Switcher()), (QByteArrayList{"SRC0", "SRC0"}));
}

INCYCLER_APP_TEST_MAIN(TestTimeWindow)
#include "tst_timewindow.moc"
