#include "control/SwitchingRules.h"

#include <QRandomGenerator>
#include <QTest>
#include <QTime>

using namespace SwitchingRules;

namespace {

double T(int h, int m, int s, int ms = 0) {
    return TimeOfDay(QTime(h, m, s, ms));
}

} // namespace

class TestSwitchingRules : public QObject {
    Q_OBJECT
private slots:
    void nextSourceNum_data();
    void nextSourceNum();
    void msOfDayRoundsHalvesToEven_data();
    void msOfDayRoundsHalvesToEven();
    void msOfDayRoundTripsEveryMillisecondOfTheDay();
    void wholeSecondsBetweenTruncatesAndIgnoresOrder();
    void isInWindow_data();
    void isInWindow();
    void secondsToEndTime_data();
    void secondsToEndTime();
    void workedExamples_data();
    void workedExamples();
    void firstIntervalStaysOnTheGrid();
    void shortClosedPartDoesNotRestartEachDay();
    void waitingSleep_data();
    void waitingSleep();
    void intervalMs_data();
    void intervalMs();
};

void TestSwitchingRules::nextSourceNum_data() {
    QTest::addColumn<QList<int>>("list");
    QTest::addColumn<int>("reported");
    QTest::addColumn<int>("next");
    const QList<int> l13{1, 3}, l23{2, 3}, l123{1, 2, 3};
    QTest::newRow("(1,3) after 1") << l13 << 1 << 3;
    QTest::newRow("(1,3) after 3 wraps") << l13 << 3 << 1;
    QTest::newRow("(1,3) after unlisted 2") << l13 << 2 << 1;
    QTest::newRow("(1,3) nothing reported") << l13 << 0 << 1;
    QTest::newRow("(2,3) after unlisted 1") << l23 << 1 << 2;
    QTest::newRow("(2,3) after 3 wraps") << l23 << 3 << 2;
    QTest::newRow("(2,3) after 2") << l23 << 2 << 3;
    QTest::newRow("(2,3) nothing reported") << l23 << 0 << 2;
    QTest::newRow("(1,2,3) after 2") << l123 << 2 << 3;
    QTest::newRow("(1,2,3) after 3 wraps") << l123 << 3 << 1;
    QTest::newRow("(1,2) report above every input") << QList<int>{1, 2} << 9 << 1;
}

void TestSwitchingRules::nextSourceNum() {
    QFETCH(QList<int>, list);
    QFETCH(int, reported);
    QFETCH(int, next);
    QCOMPARE(NextSourceNum(list, reported), next);
}

void TestSwitchingRules::msOfDayRoundsHalvesToEven_data() {
    QTest::addColumn<double>("halfMs");
    QTest::addColumn<qint64>("rounded");
    QTest::newRow("0.5") << 0.5 << qint64(0);
    QTest::newRow("1.5") << 1.5 << qint64(2);
    QTest::newRow("2.5") << 2.5 << qint64(2);
    QTest::newRow("999.5") << 999.5 << qint64(1000);
    QTest::newRow("1000.5") << 1000.5 << qint64(1000);
}

void TestSwitchingRules::msOfDayRoundsHalvesToEven() {
    QFETCH(double, halfMs);
    QFETCH(qint64, rounded);
    // A fraction of a day whose product with the day's milliseconds is exactly halfMs.
    const double x = halfMs / double(MsPerDay);
    if (x * double(MsPerDay) != halfMs)
        QSKIP("the product is not exact for this value on this platform");
    QCOMPARE(MsOfDay(x), rounded);
}

void TestSwitchingRules::msOfDayRoundTripsEveryMillisecondOfTheDay() {
    // Truncating instead of rounding loses a millisecond on many of these.
    for (qint64 ms = 0; ms < MsPerDay; ms += 997)
        QCOMPARE(MsOfDay(TimeOfDayFromMs(ms)), ms);
    for (qint64 ms : {qint64(0), qint64(1), qint64(999), MsPerDay / 2, MsPerDay - 1})
        QCOMPARE(MsOfDay(TimeOfDayFromMs(ms)), ms);
    QCOMPARE(MsOfDay(DayEnd), qint64(86399000));
}

void TestSwitchingRules::wholeSecondsBetweenTruncatesAndIgnoresOrder() {
    QCOMPARE(WholeSecondsBetween(T(10, 0, 0, 999), T(10, 0, 0)), qint64(0));
    QCOMPARE(WholeSecondsBetween(T(10, 0, 1, 999), T(10, 0, 0)), qint64(1));
    QCOMPARE(WholeSecondsBetween(T(10, 0, 0), T(10, 0, 1, 999)), qint64(1));
    QCOMPARE(WholeSecondsBetween(T(17, 0, 0), T(10, 15, 42, 250)), qint64(24257));
    QCOMPARE(WholeSecondsBetween(0.0, DayEnd), qint64(86399));
}

void TestSwitchingRules::isInWindow_data() {
    QTest::addColumn<double>("start");
    QTest::addColumn<double>("end");
    QTest::addColumn<double>("now");
    QTest::addColumn<bool>("open");
    const double d8 = T(8, 0, 0), d17 = T(17, 0, 0), d22 = T(22, 0, 0), d2 = T(2, 0, 0);
    QTest::newRow("wrap, 23:59:59.999") << d22 << d2 << T(23, 59, 59, 999) << true;
    QTest::newRow("wrap, 00:00:00.000") << d22 << d2 << 0.0 << true;
    QTest::newRow("wrap, 01:59:59.999") << d22 << d2 << T(1, 59, 59, 999) << true;
    QTest::newRow("wrap, 02:00:00.000") << d22 << d2 << T(2, 0, 0) << false;
    QTest::newRow("wrap, 21:59:59.999") << d22 << d2 << T(21, 59, 59, 999) << false;
    QTest::newRow("wrap, 22:00:00.000") << d22 << d2 << T(22, 0, 0) << true;
    QTest::newRow("wrap, noon") << d22 << d2 << 0.5 << false;
    QTest::newRow("day, 08:00:00.000") << d8 << d17 << T(8, 0, 0) << true;
    QTest::newRow("day, 07:59:59.999") << d8 << d17 << T(7, 59, 59, 999) << false;
    QTest::newRow("day, 16:59:59.999") << d8 << d17 << T(16, 59, 59, 999) << true;
    QTest::newRow("day, 17:00:00.000") << d8 << d17 << T(17, 0, 0) << false;
    QTest::newRow("empty, at its time") << d8 << d8 << d8 << false;
    QTest::newRow("empty, noon") << d8 << d8 << 0.5 << false;
    QTest::newRow("empty at midnight, midnight") << 0.0 << 0.0 << 0.0 << false;
}

void TestSwitchingRules::isInWindow() {
    QFETCH(double, start);
    QFETCH(double, end);
    QFETCH(double, now);
    QFETCH(bool, open);
    QCOMPARE(IsInWindow(start, end, now), open);
}

void TestSwitchingRules::secondsToEndTime_data() {
    QTest::addColumn<double>("end");
    QTest::addColumn<double>("t");
    QTest::addColumn<qint64>("seconds");
    QTest::newRow("same day") << T(17, 0, 0) << T(10, 15, 42, 250) << qint64(24257);
    QTest::newRow("at the end") << T(17, 0, 0) << T(17, 0, 0) << qint64(0);
    QTest::newRow("after midnight") << T(2, 0, 0) << T(0, 3, 20, 400) << qint64(6999);
    // The day is taken to end at 23:59:59: 298 + 7200.
    QTest::newRow("before midnight") << T(2, 0, 0) << T(23, 55, 0, 300) << qint64(7498);
    QTest::newRow("one ms before midnight") << T(2, 0, 0) << T(23, 59, 59, 999) << qint64(7200);
}

void TestSwitchingRules::secondsToEndTime() {
    QFETCH(double, end);
    QFETCH(double, t);
    QFETCH(qint64, seconds);
    QCOMPARE(SecondsToEndTime(end, t), seconds);
}

// The worked examples of the schedule, row by row. "start" rows are a Start at t (with the
// later millisecond reading m); "tick" rows a firing at t; "outside" rows find the window
// closed. finalInterval is what the rotation timer is left with.
void TestSwitchingRules::workedExamples_data() {
    QTest::addColumn<QTime>("windowStart");
    QTest::addColumn<QTime>("windowEnd");
    QTest::addColumn<qint64>("interval");
    QTest::addColumn<QString>("event");
    QTest::addColumn<QTime>("t");
    QTest::addColumn<int>("firstDelay"); // -1: not a Start
    QTest::addColumn<qint64>("secondsToEnd");
    QTest::addColumn<bool>("restart");
    QTest::addColumn<int>("finalInterval");

    QTest::newRow("08-17, 60 s, Start 10:15:42.250")
        << QTime(8, 0) << QTime(17, 0) << qint64(60000) << "start" << QTime(10, 15, 42, 250)
        << 17850 << qint64(24257) << false << 17850;
    QTest::newRow("22-02, 10 min, Start 00:03:20.400")
        << QTime(22, 0) << QTime(2, 0) << qint64(600000) << "start" << QTime(0, 3, 20, 400)
        << 399700 << qint64(6999) << false << 399700;
    QTest::newRow("22-02, 10 min, Start 23:55:00.300")
        << QTime(22, 0) << QTime(2, 0) << qint64(600000) << "start" << QTime(23, 55, 0, 300)
        << 299800 << qint64(7498) << false << 299800;
    QTest::newRow("08-17, 2 min, Start 16:59:00.000")
        << QTime(8, 0) << QTime(17, 0) << qint64(120000) << "start" << QTime(16, 59, 0) << 60100
        << qint64(60) << false << 65000;
    QTest::newRow("08-08:00:03, 5 s, window opens 08:00:00.015")
        << QTime(8, 0) << QTime(8, 0, 3) << qint64(5000) << "tick" << QTime(8, 0, 0, 15) << -1
        << qint64(2) << true << 7000;
    QTest::newRow("08-17, 5 s, Start 08:00:04.950")
        << QTime(8, 0) << QTime(17, 0) << qint64(5000) << "start" << QTime(8, 0, 4, 950) << 150
        << qint64(32395) << false << 150;
    QTest::newRow("08-17, Start 07:30:00")
        << QTime(8, 0) << QTime(17, 0) << qint64(5000) << "outside" << QTime(7, 30) << -1
        << qint64(0) << false << WaitingBackstopMs;
    QTest::newRow("22-02, 10 min, Start exactly 22:00:00")
        << QTime(22, 0) << QTime(2, 0) << qint64(600000) << "start" << QTime(22, 0) << 600100
        << qint64(14399) << true << 600100;
}

void TestSwitchingRules::workedExamples() {
    QFETCH(QTime, windowStart);
    QFETCH(QTime, windowEnd);
    QFETCH(qint64, interval);
    QFETCH(QString, event);
    QFETCH(QTime, t);
    QFETCH(int, firstDelay);
    QFETCH(qint64, secondsToEnd);
    QFETCH(bool, restart);
    QFETCH(int, finalInterval);

    const double start = TimeOfDay(windowStart), end = TimeOfDay(windowEnd), at = TimeOfDay(t);
    const bool open = IsInWindow(start, end, at);
    QCOMPARE(open, event != QLatin1String("outside"));
    if (!open) {
        QCOMPARE(WaitingSleepMs(start, end, t.msecsSinceStartOfDay(), std::nullopt), finalInterval);
        return;
    }
    QCOMPARE(SecondsToEndTime(end, at), secondsToEnd);
    QCOMPARE(RestartsRotation(start, at), restart);
    const auto last = LastSwitchDelay(interval, secondsToEnd);
    if (event == QLatin1String("start")) {
        QCOMPARE(FirstIntervalForSetTime(start, end, interval, at, t.msec()), firstDelay);
        QCOMPARE(last.value_or(firstDelay), finalInterval);
    } else {
        QCOMPARE(last.value_or(qint32(interval)), finalInterval);
    }
}

void TestSwitchingRules::firstIntervalStaysOnTheGrid() {
    // Whatever the moment inside the window, the first firing comes 100 ms after the next
    // grid point: 101..interval + 100 ms, and on the grid.
    auto* rng = QRandomGenerator::global();
    const struct {
        QTime start, end;
    } windows[] = {{QTime(8, 0), QTime(17, 0)}, {QTime(22, 0), QTime(2, 0)}};
    for (const auto& w : windows) {
        const double start = TimeOfDay(w.start), end = TimeOfDay(w.end);
        for (qint64 interval : {qint64(5000), qint64(60000), qint64(600000)}) {
            for (int i = 0; i < 2000; ++i) {
                const qint64 ms = rng->bounded(int(MsPerDay));
                const double t = TimeOfDayFromMs(ms);
                if (!IsInWindow(start, end, t))
                    continue;
                const int m = int(ms % 1000);
                const qint32 delay = FirstIntervalForSetTime(start, end, interval, t, m);
                QVERIFY2(delay >= 101 && delay <= interval + 100, qPrintable(QString::number(ms)));
                // Seconds since the window's start, across midnight, plus the delay, land
                // 100 ms after a multiple of the interval.
                qint64 since = ms - w.start.msecsSinceStartOfDay();
                if (since < 0)
                    since += MsPerDay;
                QCOMPARE((since + delay - 100) % interval, qint64(0));
            }
        }
    }
}

void TestSwitchingRules::shortClosedPartDoesNotRestartEachDay() {
    // 00:00:00-23:59:59 with 5 s: the last switch at 23:59:58 waits 1 s + 5 s; the firing at
    // 00:00:04 is in the reopened window but more than 2 s after its start.
    const double start = 0.0, end = T(23, 59, 59);
    QCOMPARE(LastSwitchDelay(5000, SecondsToEndTime(end, T(23, 59, 58))),
             std::optional<qint32>(6000));
    QVERIFY(IsInWindow(start, end, T(0, 0, 4)));
    QVERIFY(!RestartsRotation(start, T(0, 0, 4)));
    QVERIFY(RestartsRotation(start, T(0, 0, 1, 999)));
}

void TestSwitchingRules::waitingSleep_data() {
    QTest::addColumn<QTime>("windowStart");
    QTest::addColumn<QTime>("windowEnd");
    QTest::addColumn<QTime>("now");
    QTest::addColumn<qint64>("toOffsetChange"); // -1: none ahead
    QTest::addColumn<int>("sleep");
    const QTime t8(8, 0), t17(17, 0), t22(22, 0), t2(2, 0);
    const int backstop = WaitingBackstopMs;
    QTest::newRow("08-17, 10 min before") << t8 << t17 << QTime(7, 50) << -1LL << 600000;
    QTest::newRow("08-17, 0.8 s before") << t8 << t17 << QTime(7, 59, 59, 200) << -1LL << 800;
    QTest::newRow("08-17, 30 min before: backstop")
        << t8 << t17 << QTime(7, 30) << -1LL << backstop;
    QTest::newRow("08-17, after the end") << t8 << t17 << QTime(17, 0, 5) << -1LL << backstop;
    QTest::newRow("22-02, 5 min before") << t22 << t2 << QTime(21, 55) << -1LL << 300000;
    QTest::newRow("22-02, 1 ms before") << t22 << t2 << QTime(21, 59, 59, 999) << -1LL << 1;
    QTest::newRow("00:00:30-06, across midnight")
        << QTime(0, 0, 30) << QTime(6, 0) << QTime(23, 58) << -1LL << 150000;
    QTest::newRow("00-23:59:59, opens at midnight")
        << QTime(0, 0) << QTime(23, 59, 59) << QTime(23, 59, 59, 500) << -1LL << 500;
    QTest::newRow("open at this reading") << t8 << t17 << QTime(8, 0) << -1LL << 1;
    QTest::newRow("empty window never opens") << t8 << t8 << QTime(7, 59) << -1LL << backstop;
    // A start time in the hour a daylight-saving jump skips opens at the jump.
    QTest::newRow("offset change first") << QTime(2, 30) << t17 << QTime(1, 59) << 60000LL << 60000;
    QTest::newRow("offset change later") << t8 << t17 << QTime(7, 59) << 7200000LL << 60000;
}

void TestSwitchingRules::waitingSleep() {
    QFETCH(QTime, windowStart);
    QFETCH(QTime, windowEnd);
    QFETCH(QTime, now);
    QFETCH(qint64, toOffsetChange);
    QFETCH(int, sleep);
    const auto change = toOffsetChange < 0 ? std::nullopt : std::optional<qint64>(toOffsetChange);
    QCOMPARE(WaitingSleepMs(TimeOfDay(windowStart), TimeOfDay(windowEnd),
                            now.msecsSinceStartOfDay(), change),
             sleep);
}

void TestSwitchingRules::intervalMs_data() {
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("unit");
    QTest::addColumn<bool>("changes");
    QTest::addColumn<qint64>("ms");
    QTest::newRow("120 s") << 120 << 0 << true << qint64(120000);
    QTest::newRow("2 min") << 2 << 1 << true << qint64(120000);
    QTest::newRow("5 s") << 5 << 0 << true << qint64(5000);
    QTest::newRow("120 min") << 120 << 1 << true << qint64(7200000);
    QTest::newRow("no unit") << 5 << -1 << false << qint64(0);
    // Beyond the control's limits the 32-bit product wraps with its sign.
    QTest::newRow("wraps in 32 bits") << 40000 << 1 << true << qint64(-1894967296);
}

void TestSwitchingRules::intervalMs() {
    QFETCH(int, value);
    QFETCH(int, unit);
    QFETCH(bool, changes);
    QFETCH(qint64, ms);
    const auto got = IntervalMs(value, unit);
    if (!changes)
        QVERIFY(!got.has_value());
    else
        QCOMPARE(got.value_or(-1), ms);
}

QTEST_APPLESS_MAIN(TestSwitchingRules)
#include "tst_switchingrules.moc"
