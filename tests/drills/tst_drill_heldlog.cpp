// The log file held under an exclusive lock by someone else for about a second while the
// rotation writes its records: no record is lost, and the program keeps handling events
// while its record waits for the file.

#include "ControlSupport.h"
#include "DrillSupport.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>

#include <fcntl.h>
#include <functional>
#include <sys/file.h>
#include <unistd.h>

using namespace ControlSupport;
using namespace DrillSupport;

namespace {

constexpr int kIntervalMs = 1000;
// Well inside the time the log gives a held file before it stops waiting for it.
constexpr int kHoldMs = 1000;
constexpr int kProbePeriodMs = 50;
// Generous for a loaded two-core machine; a loop blocked on the file would miss it by the
// whole hold.
constexpr qint64 kProbeBoundMs = 500;
constexpr int kWaitMs = 30000;

const QString kTickProc = QStringLiteral("TFormMain_AutoSelectSource");
const QString kPowerProc = QStringLiteral("TFormMain_btn_PowerStateClick");

// One record's procedure field.
QString ProcOf(const QString& line) {
    return line.section(QLatin1Char(','), 4, 4);
}

} // namespace

class TestHeldLog : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void heldByAnotherProcess();
    void heldThroughAnotherDescriptor();

private:
    // Takes the lock; returns how to let go of it.
    using TAcquire = std::function<std::function<void()>()>;
    void Drill(const TAcquire& acquire);

    std::unique_ptr<AppRig> m_rig;
};

void TestHeldLog::init() {
    m_rig = std::make_unique<AppRig>();
}

void TestHeldLog::cleanup() {
    m_rig.reset();
}

void TestHeldLog::heldByAnotherProcess() {
    QProcess helper;
    Drill([&]() -> std::function<void()> {
        helper.start(QStringLiteral(LOG_HELPER_PATH), {"hold", m_rig->LogPath()});
        QByteArray said;
        if (!QTest::qWaitFor(
                [&] {
                    said += helper.readAllStandardOutput();
                    return said.contains("locked");
                },
                kWaitMs))
            return {};
        // The helper lets go once its standard input closes.
        return [&] { helper.closeWriteChannel(); };
    });
    QTRY_VERIFY_WITH_TIMEOUT(helper.state() == QProcess::NotRunning, kWaitMs);
    QCOMPARE(helper.exitCode(), 0);
}

void TestHeldLog::heldThroughAnotherDescriptor() {
    // flock belongs to the open file description, so a second open in this very process
    // shuts the log's own appends out as another process would.
    int fd = -1;
    Drill([&]() -> std::function<void()> {
        fd = ::open(QFile::encodeName(m_rig->LogPath()).constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0 || ::flock(fd, LOCK_EX | LOCK_NB) != 0)
            return {};
        return [&] {
            ::close(fd);
            fd = -1;
        };
    });
    if (fd >= 0)
        ::close(fd);
}

void TestHeldLog::Drill(const TAcquire& acquire) {
    TFormMain* form = m_rig->Form();
    Tmod_IF_ComPort* module = m_rig->Module();
    VirtualSwitcher& sw = m_rig->Switcher();
    QSignalSpy ticks(form->tmr_RollSelectSource, &TWindowTimer::Timer);

    // A rotation whose switcher has gone: every tick writes a record.
    SetEveryTime(form, {1, 3});
    QVERIFY(OpenAndSettle(*m_rig));
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    form->tmr_RollSelectSource->SetInterval(kIntervalMs);
    QVERIFY(SettleSourcePoll(*m_rig));
    sw.Stop();
    QTRY_VERIFY_WITH_TIMEOUT(!module->Connected(), kWaitMs);
    QVERIFY(RunLoopUntil([&] { return LogRecords(*m_rig, kTickProc) >= 1; }, kWaitMs));
    const QStringList before = m_rig->LogLines();

    const std::function<void()> release = acquire();
    QVERIFY2(release, "the log could not be locked");
    bool held = true;
    bool inTick = false;
    QTimer releaser;
    releaser.setSingleShot(true);
    connect(&releaser, &QTimer::timeout, this, [&] {
        held = false;
        release();
    });
    releaser.start(kHoldMs);

    // Events posted all through the hold; each notes how long it waited to be handled.
    QElapsedTimer clock;
    clock.start();
    qint64 slowestMs = 0;
    int handledInWait = 0;
    // Events still queued for it when the drill ends go with it.
    QObject probeTarget;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        const qint64 postedAt = clock.elapsed();
        QMetaObject::invokeMethod(
            &probeTarget,
            [&, postedAt] {
                slowestMs = qMax(slowestMs, clock.elapsed() - postedAt);
                if (!held || !inTick)
                    return;
                // The first one also writes a record of its own, nested inside the tick's.
                if (handledInWait++ == 0)
                    form->btn_PowerStateClick();
            },
            Qt::QueuedConnection);
    });
    probe.start(kProbePeriodMs);

    // The tick as the rotation timer fires it, with the file held from before it began.
    inTick = true;
    form->tmr_RollSelectSourceTimer();
    inTick = false;
    const bool tickWaited = !held;
    probe.stop();
    QVERIFY2(tickWaited, "the tick's record was not held up by the lock");
    QVERIFY(form->tmr_RollSelectSource->Enabled());
    qInfo("events handled inside the held append: %d; slowest %lld ms", handledInWait, slowestMs);
    QVERIFY2(handledInWait >= 3, qPrintable(QString::number(handledInWait)));
    QVERIFY2(slowestMs <= kProbeBoundMs, qPrintable(QString::number(slowestMs)));

    // Nothing lost, the nested record first, and the lines before untouched.
    QStringList lines = m_rig->LogLines();
    QCOMPARE(lines.size(), before.size() + 2);
    QCOMPARE(lines.mid(0, before.size()), before);
    QCOMPARE(ProcOf(lines.at(before.size())), kPowerProc);
    QCOMPARE(ProcOf(lines.at(before.size() + 1)), kTickProc);
    for (const QString& line : std::as_const(lines))
        QVERIFY2(
            line.endsWith(QStringLiteral(",エラー,%1,（COM）COMポートOPEN失敗").arg(ProcOf(line))),
            qPrintable(line));

    // The rotation goes on writing at its own pace once the file is free.
    const int ticksAfter = int(ticks.count());
    QVERIFY(RunLoopUntil([&] { return ticks.count() > ticksAfter; }, kWaitMs));
    lines = m_rig->LogLines();
    QCOMPARE(lines.size(), before.size() + 3);
    QCOMPARE(ProcOf(lines.last()), kTickProc);
    QVERIFY2(ShownBoxes().isEmpty(), qPrintable(BoxLines().join('\n')));
}

INCYCLER_APP_TEST_MAIN(TestHeldLog)
#include "tst_drill_heldlog.moc"
