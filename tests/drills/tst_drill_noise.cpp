// A storm of line noise from the switcher's side: a mebibyte of random bytes with ESC, CR
// and NUL among them, then valid replies. The program takes it without crashing, its
// receive buffer stays bounded, and the replies after the storm still set the model.

#include "ControlSupport.h"
#include "DrillSupport.h"
#include "device/ReplyFraming.h"
#include "device/cls_ApdComPort.h"

#include <QRandomGenerator>

using namespace ControlSupport;
using namespace DrillSupport;

namespace {

constexpr qsizetype kNoiseBytes = qsizetype(1) << 20;
constexpr int kWaitMs = 60000;

// Random bytes, one in eight an ESC and one in eight a CR, so that the noise opens, closes
// and breaks frames all the time; NUL comes in among the rest.
QByteArray Noise(quint32 seed) {
    QRandomGenerator rng(seed);
    QByteArray bytes(kNoiseBytes, '\0');
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        switch (rng.bounded(8)) {
        case 0:
            bytes[i] = ReplyFraming::ESC;
            break;
        case 1:
            bytes[i] = ReplyFraming::CR;
            break;
        default:
            bytes[i] = char(rng.bounded(256));
        }
    }
    return bytes;
}

} // namespace

class TestNoise : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void stormThenValidReplies();

private:
    std::unique_ptr<AppRig> m_rig;
};

void TestNoise::init() {
    m_rig = std::make_unique<AppRig>();
}

void TestNoise::cleanup() {
    m_rig.reset();
}

void TestNoise::stormThenValidReplies() {
    TFormMain* form = m_rig->Form();
    Tmod_IF_ComPort* module = m_rig->Module();
    VirtualSwitcher& sw = m_rig->Switcher();
    QVERIFY(OpenAndSettle(*m_rig));
    QCOMPARE(form->Model()->PowerState(), psPowerOff);
    QCOMPARE(form->Model()->SelectedSourceNum(), 1);

    // Connected after the module's own handler: the buffer as each announcement left it.
    qint64 announced = 0;
    qsizetype largestBuffer = 0;
    connect(module->ApdComPort1, &TApdComPort::TriggerAvail, this, [&](TApdComPort*, quint16 n) {
        announced += n;
        largestBuffer = qMax(largestBuffer, module->RcvBuff().size());
    });

    const QByteArray noise = Noise(20240501);
    QVERIFY(noise.contains('\0') && noise.contains(ReplyFraming::ESC) &&
            noise.contains(ReplyFraming::CR));
    QElapsedTimer storm;
    storm.start();
    sw.InjectRaw(noise);
    // Every byte taken off the port, then every complete frame cut out of the buffer. A
    // real loop, which sleeps between the reply timer's ticks as the program's own does.
    QVERIFY(RunLoopUntil([&] { return announced >= noise.size(); }, kWaitMs));
    const qint64 receivedMs = storm.elapsed();
    QVERIFY(
        RunLoopUntil([&] { return ReplyFraming::TickChangesNothing(module->RcvBuff()); }, kWaitMs));
    qInfo("noise of %lld bytes received in %lld ms, buffer handled after %lld ms; "
          "largest buffer %lld bytes",
          qint64(noise.size()), receivedMs, qint64(storm.elapsed()), qint64(largestBuffer));
    QVERIFY(module->Connected());
    // Bounded whatever the size of the storm: a fraction of what arrived would still grow
    // with it.
    QVERIFY2(largestBuffer <= 16 * 1024,
             qPrintable(QStringLiteral("the buffer grew to %1 bytes").arg(largestBuffer)));

    // Noise that happens to read as "pwr" or "get" and a letter is a conversion error, which
    // goes to the top-level report; nothing else may.
    for (const QString& report : BoxLines())
        QVERIFY2(report.contains(QStringLiteral("有効な整数値ではありません")), qPrintable(report));
    ShownBoxes().clear();

    // The storm may end inside a frame, which then swallows the first reply after it; a
    // device asked twice answers twice.
    const QByteArray replies = "\x1bpwr1\r\x1bget2\r";
    sw.InjectRaw(replies);
    sw.InjectRaw(replies);
    QVERIFY(RunLoopUntil(
        [&] {
            return form->Model()->PowerState() == psPowerOn &&
                   form->Model()->SelectedSourceNum() == 2 && module->RcvBuff().isEmpty();
        },
        kWaitMs));
    QVERIFY2(ShownBoxes().isEmpty(), qPrintable(BoxLines().join('\n')));

    // And the line still carries commands both ways.
    sw.ClearFrames();
    QVERIFY(Refreshed(form) && form->btn_Source_03->isEnabled());
    QTest::mouseClick(form->btn_Source_03, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(form->Model()->SelectedSourceNum() == 3, kWaitMs);
    QCOMPARE(sw.Frames(), (QByteArrayList{"SRC3", "GET"}));
}

INCYCLER_APP_TEST_MAIN(TestNoise)
#include "tst_drill_noise.moc"
