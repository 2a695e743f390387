// The switcher lost in the middle of a rotation and back again, off: the program neither
// crashes nor spins while it is away, writes one record per tick that finds no port, and at
// the first tick after the switcher's return knows nothing of it until it answers, asks it as
// the port button does, switches it on again and switches inputs.

#include "ControlSupport.h"
#include "DrillSupport.h"

#include <QFile>
#include <QProcess>
#include <QSignalSpy>

#include <functional>

using namespace ControlSupport;
using namespace DrillSupport;

namespace {

// Kept short so that a few ticks take a few seconds.
constexpr int kIntervalMs = 1000;
// Failed ticks watched while the switcher is away.
constexpr int kFailedTicks = 3;
// Generous for a loaded two-core machine: a Qt program may take seconds to start.
constexpr int kWaitMs = 30000;

// incycler-sim as a child process, tracing every frame it receives on its standard output.
class TSimProcess : public QObject {
public:
    bool Start(const QString& portDir) {
        // The frames of every run in turn; what it says only of this one.
        m_err.clear();
        m_process = std::make_unique<QProcess>();
        connect(m_process.get(), &QProcess::readyReadStandardOutput, this,
                [this] { m_out += m_process->readAllStandardOutput(); });
        connect(m_process.get(), &QProcess::readyReadStandardError, this,
                [this] { m_err += m_process->readAllStandardError(); });
        m_process->start(QStringLiteral(INCYCLER_SIM_PATH),
                         {"--model", "A", "--com", "3", "--port-dir", portDir, "--trace"});
        // The link is in place once the simulator has said where it points.
        return QTest::qWaitFor([this] { return m_err.contains("-> /dev/pts/"); }, kWaitMs);
    }

    void Kill() {
        m_process->kill();
        m_process->waitForFinished(kWaitMs);
    }

    QByteArrayList Frames() const {
        QByteArrayList frames;
        for (const QByteArray& line : m_out.split('\n')) {
            if (!line.isEmpty())
                frames.append(line.mid(line.indexOf(' ') + 1));
        }
        return frames;
    }

    ~TSimProcess() override {
        if (m_process && m_process->state() != QProcess::NotRunning)
            Kill();
    }

private:
    std::unique_ptr<QProcess> m_process;
    QByteArray m_out;
    QByteArray m_err;
};

} // namespace

class TestSwitcherLoss : public QObject {
    Q_OBJECT
private slots:
    void cleanup();

    void hungUpInProcessAndStartedAgain();
    void processKilledAndStartedAgain();

private:
    struct TFarEnd {
        std::function<void()> lose;
        std::function<bool()> comeBack; // powered off, as after a power cut
        std::function<QByteArrayList()> frames;
        bool inProcess = false; // its frames are seen as they arrive
    };
    void Drill(const TFarEnd& farEnd);

    std::unique_ptr<AppRig> m_rig;
};

void TestSwitcherLoss::cleanup() {
    m_rig.reset();
}

void TestSwitcherLoss::hungUpInProcessAndStartedAgain() {
    m_rig = std::make_unique<AppRig>();
    VirtualSwitcher& sw = m_rig->Switcher();
    // Stop closes both sides of the pty: the program's side sees a hang-up.
    Drill({[&] { sw.Stop(); },
           [&] {
               sw.SetPowerOn(false);
               return sw.Start();
           },
           [&] { return sw.Frames(); }, true});
}

void TestSwitcherLoss::processKilledAndStartedAgain() {
    AppRig::Options options;
    options.startSwitcher = false;
    m_rig = std::make_unique<AppRig>(options);
    TSimProcess sim;
    QVERIFY(sim.Start(m_rig->PortDir()));
    const QString link = m_rig->Switcher().LinkPath();
    Drill({[&] {
               sim.Kill();
               // A killed simulator leaves its link behind, pointing at a pty number that
               // any other program's pty may take next; no test should write there.
               QFile::remove(link);
           },
           [&] { return sim.Start(m_rig->PortDir()); }, [&] { return sim.Frames(); }});
}

void TestSwitcherLoss::Drill(const TFarEnd& farEnd) {
    TFormMain* form = m_rig->Form();
    Tmod_IF_ComPort* module = m_rig->Module();
    const QString proc = QStringLiteral("TFormMain_AutoSelectSource");
    const auto selects = [&] {
        QByteArrayList frames = farEnd.frames();
        frames.removeIf([](const QByteArray& frame) { return !frame.startsWith("SRC"); });
        return frames;
    };

    QSignalSpy ticks(form->tmr_RollSelectSource, &TWindowTimer::Timer);
    // Connected after the handler: whether each tick left the port open.
    QList<bool> openAfterTick;
    const QObject tickWatch;
    connect(form->tmr_RollSelectSource, &TWindowTimer::Timer, &tickWatch,
            [&] { openAfterTick.append(module->Connected()); });
    // What the program holds of the device when the device is asked for its power.
    QList<QPair<TPowerState, int>> stateAtPowerQuery;
    connect(&m_rig->Switcher(), &VirtualSwitcher::FrameReceived, &tickWatch,
            [&](const QByteArray& text) {
                if (text == "PWR?")
                    stateAtPowerQuery.append(
                        {form->Model()->PowerState(), form->Model()->SelectedSourceNum()});
            });

    SetEveryTime(form, {1, 3});
    QVERIFY(m_rig->OpenPortByButton(3));
    QTRY_VERIFY_WITH_TIMEOUT(form->Model()->SelectedSourceNum() == 1 &&
                                 !form->tmr_CheckSource->Enabled() && Refreshed(form) &&
                                 form->btn_Start->isEnabled(),
                             kWaitMs);
    QTest::mouseClick(form->btn_Start, Qt::LeftButton);
    QVERIFY(form->AutoChangeRunning());
    // The every-time tick never rewrites the interval, so a shorter one set here stays.
    form->tmr_RollSelectSource->SetInterval(kIntervalMs);
    QTRY_VERIFY_WITH_TIMEOUT(selects().size() >= 2, kWaitMs);

    farEnd.lose();
    QTRY_VERIFY_WITH_TIMEOUT(!module->Connected(), kWaitMs);

    // Away: the rotation keeps trying once a tick, and costs next to nothing meanwhile.
    const int ticksBefore = int(ticks.count());
    const int recordsBefore = LogRecords(*m_rig, proc);
    const double cpuBefore = ProcessCpuMs();
    QElapsedTimer wall;
    wall.start();
    double cpuMs = 0;
    double wallMs = 0;
    int wakes = 0;
    {
        const TWakeCounter counter;
        QVERIFY(RunLoopUntil([&] { return ticks.count() >= ticksBefore + kFailedTicks; }, kWaitMs));
        wakes = counter.Wakes();
        cpuMs = ProcessCpuMs() - cpuBefore;
        wallMs = double(wall.elapsed());
    }
    const int failedTicks = int(ticks.count()) - ticksBefore;
    QCOMPARE(LogRecords(*m_rig, proc) - recordsBefore, failedTicks);
    QVERIFY(!module->Connected());
    QVERIFY(form->AutoChangeRunning());
    qInfo("away for %.0f ms: %d ticks, %.1f ms CPU, %d wake-ups", wallMs, failedTicks, cpuMs,
          wakes);
    // A spinning loop burns the whole window; waiting costs a few milliseconds a tick.
    QVERIFY2(
        cpuMs < 0.25 * wallMs,
        qPrintable(
            QStringLiteral("%1 ms CPU in %2 ms").arg(cpuMs, 0, 'f', 1).arg(wallMs, 0, 'f', 0)));
    // A poll that kept waking the loop would do so hundreds of times a second.
    QVERIFY2(wakes < 50 * failedTicks,
             qPrintable(QStringLiteral("%1 wake-ups in %2 ticks").arg(wakes).arg(failedTicks)));

    // Back: the first tick after the return opens the port and switches again.
    const int ticksAtReturn = int(ticks.count());
    const int recordsAtReturn = LogRecords(*m_rig, proc);
    const qsizetype selectsAtReturn = selects().size();
    const qsizetype framesAtReturn = farEnd.frames().size();
    stateAtPowerQuery.clear();
    QVERIFY(farEnd.comeBack());
    QTRY_VERIFY_WITH_TIMEOUT(selects().size() >= selectsAtReturn + 2, kWaitMs);
    QVERIFY(openAfterTick.size() > ticksAtReturn);
    QVERIFY(openAfterTick.at(ticksAtReturn));
    QCOMPARE(LogRecords(*m_rig, proc), recordsAtReturn);
    // The idle refresh forgot the reported input while the port was closed: the rotation
    // starts over from the first listed input and goes on from the device's answers.
    QCOMPARE(selects().mid(selectsAtReturn, 2), (QByteArrayList{"SRC1", "SRC3"}));
    // Asked first, as the port button asks; found off, switched on once, as Start does.
    QCOMPARE(farEnd.frames().value(framesAtReturn), QByteArray("PWR?"));
    QTRY_VERIFY_WITH_TIMEOUT(form->Model()->PowerState() == psPowerOn, kWaitMs);
    QCOMPARE(farEnd.frames().mid(framesAtReturn).count("PWR1"), 1);
    // Nothing of what it said before the loss is taken for its state meanwhile.
    if (farEnd.inProcess)
        QCOMPARE(stateAtPowerQuery.value(0), (QPair<TPowerState, int>{psNone, 0}));

    QCOMPARE(m_rig->LogLines().size(), recordsAtReturn);
    QVERIFY2(ShownBoxes().isEmpty(), qPrintable(BoxLines().join('\n')));
}

INCYCLER_APP_TEST_MAIN(TestSwitcherLoss)
#include "tst_drill_switcherloss.moc"
