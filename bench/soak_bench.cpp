// A long rotation against a replying virtual switcher, then the switcher's trace is checked:
// every switch and every query present, in order, nothing else on the line, one switch per
// interval; and the process's memory and descriptors are compared before and after.
//
//   SOAK_SECONDS=600 soak_bench   (600 s by default)
//
// The real main window runs in-process on the offscreen platform; the operator's steps are
// taken on its controls: open the port, tick IN1..IN3, interval 5 seconds, Start.

#include "AppRig.h"
#include "app/Application.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/Widgets.h"
#include "ui/form_Main.h"

#include <QComboBox>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kIntervalMs = 5000;
// How far a switch may lie from the one before it plus the interval before it counts as
// missing or extra. Late: the tick's own time and the timer's latency on a loaded machine.
// Early: the switcher reads on the same loop, so a select written while the loop is busy
// (the refresh after Start) is stamped late and the next period looks short.
constexpr int kLateMs = 250;
constexpr int kEarlyMs = 50;

void RunFor(int ms) {
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

// The number on a line of /proc/self/status ("VmRSS", in KiB; "Threads").
qint64 StatusKiB(const char* field) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QByteArray prefix = QByteArray(field) + ':';
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith(prefix))
            return line.mid(prefix.size()).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// "fd -> what it refers to", one entry per open descriptor.
QStringList OpenDescriptors() {
    const QDir fds(QStringLiteral("/proc/self/fd"));
    QStringList out;
    for (const QString& fd :
         fds.entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot)) {
        char target[512] = {};
        const QByteArray link = QFile::encodeName(fds.filePath(fd));
        const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
        if (n <= 0)
            continue; // the listing's own descriptor, closed by now
        out.append(fd + QStringLiteral(" -> ") + QString::fromLocal8Bit(target, n));
    }
    return out;
}

double MiB(qint64 kib) {
    return double(kib) / 1024.0;
}

} // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    const int seconds = qEnvironmentVariableIsSet("SOAK_SECONDS")
                            ? std::max(1, qEnvironmentVariableIntValue("SOAK_SECONDS"))
                            : 600;
    TInCyclerApplication app(argc, argv);
    AppRig rig;
    TFormMain* form = rig.Form();
    VirtualSwitcher& sw = rig.Switcher();
    sw.SetPowerOn(true); // so that Start sends nothing but the rotation's own commands
    if (!rig.OpenPortByButton(3)) {
        std::fprintf(stderr, "soak_bench: the port did not open\n");
        return 1;
    }
    RunFor(1500); // the opening's power and input queries, answered
    if (form->Model()->PowerState() != psPowerOn || form->Model()->SelectedSourceNum() != 1) {
        std::fprintf(stderr, "soak_bench: the device's state did not arrive after opening\n");
        return 1;
    }
    const qint64 startupHwm = StatusKiB("VmHWM");

    for (int i = 0; i < form->clb_EnableSource->count(); ++i)
        form->clb_EnableSource->item(i)->setCheckState(Qt::Checked);
    form->cmb_IntervalUnit->setCurrentIndex(0);
    form->cmb_IntervalUnitChange();
    form->spn_Interval->SetValue(kIntervalMs / 1000);
    form->rb_Jouji->setChecked(true);

    const QStringList fdsBefore = OpenDescriptors();
    const qint64 threadsBefore = StatusKiB("Threads");
    const qint64 rssBeforeStart = StatusKiB("VmRSS");
    sw.ClearFrames();
    std::printf("soak: rotation over IN1..IN3 every %d ms for %d s\n", kIntervalMs, seconds);
    std::fflush(stdout);

    std::vector<qint64> rss;
    const qint64 startNs = VirtualSwitcher::MonotonicNs();
    QTimer::singleShot(0, form, [form] { QTest::mouseClick(form->btn_Start, Qt::LeftButton); });
    RunFor(200);
    rss.push_back(StatusKiB("VmRSS"));
    // Stopped half an interval past the last due switch, far from any tick.
    const qint64 runMs = qint64(seconds) * 1000 + kIntervalMs / 2;
    const int sampleMs = std::min(60000, seconds * 1000);
    qint64 elapsedMs = 200;
    while (elapsedMs < runMs) {
        const qint64 step = std::min<qint64>(sampleMs, runMs - elapsedMs);
        RunFor(int(step));
        elapsedMs += step;
        rss.push_back(StatusKiB("VmRSS"));
        std::printf("  %4lld s: VmRSS %.2f MiB\n", static_cast<long long>(elapsedMs / 1000),
                    MiB(rss.back()));
        std::fflush(stdout);
    }
    QTest::mouseClick(form->btn_Stop, Qt::LeftButton);
    const qint64 stopNs = VirtualSwitcher::MonotonicNs();
    RunFor(500); // the last switch's query
    const QStringList fdsAfter = OpenDescriptors();
    const qint64 threadsAfter = StatusKiB("Threads");
    const qint64 endHwm = StatusKiB("VmHWM");

    // The trace: SRC1 GET SRC2 GET SRC3 GET SRC1 ... and nothing else.
    const auto frames = sw.TimedFrames();
    int switches = 0, queries = 0, stray = 0, outOfOrder = 0, missedOrExtra = 0;
    double maxQueryGapMs = 0, minPeriodMs = 1e9, maxPeriodMs = 0;
    qint64 previousSelect = -1;
    int expectedInput = 1;
    bool wantSelect = true;
    for (qsizetype i = 0; i < frames.size(); ++i) {
        const QByteArray& text = frames[i].text;
        const qint64 at = frames[i].monotonicNs;
        if (text.startsWith("SRC")) {
            ++switches;
            if (!wantSelect || text != "SRC" + QByteArray::number(expectedInput))
                ++outOfOrder;
            expectedInput = expectedInput % 3 + 1;
            if (previousSelect >= 0) {
                const double period = double(at - previousSelect) / 1e6;
                minPeriodMs = std::min(minPeriodMs, period);
                maxPeriodMs = std::max(maxPeriodMs, period);
                if (period < kIntervalMs - kEarlyMs || period > kIntervalMs + kLateMs)
                    ++missedOrExtra;
            } else if (at - startNs > qint64(kLateMs) * 1000000) {
                ++missedOrExtra; // Start switches at once
            }
            previousSelect = at;
            wantSelect = false;
        } else if (text == "GET") {
            ++queries;
            if (wantSelect)
                ++outOfOrder;
            else if (previousSelect >= 0)
                maxQueryGapMs = std::max(maxQueryGapMs, double(at - previousSelect) / 1e6);
            wantSelect = true;
        } else {
            ++stray;
            std::printf("  stray frame: %s\n", VirtualSwitcher::EscapeBytes(text).constData());
        }
    }
    // The switch due before the Stop must be there.
    if (previousSelect < 0 || stopNs - previousSelect > qint64(kIntervalMs + kLateMs) * 1000000)
        ++missedOrExtra;
    if (!wantSelect)
        ++outOfOrder; // the last switch without its query

    const auto [rssMin, rssMax] = std::minmax_element(rss.begin(), rss.end());
    const double rssSpreadMiB = MiB(*rssMax - *rssMin);
    std::printf("soak seconds: %d\n", seconds);
    std::printf("switches: %d  queries: %d  out of order: %d  missed or extra switches: %d  "
                "stray frames: %d\n",
                switches, queries, outOfOrder, missedOrExtra, stray);
    std::printf("switch period: min %.2f  max %.2f ms (interval %d); select -> query max %.2f ms\n",
                switches > 1 ? minPeriodMs : 0.0, maxPeriodMs, kIntervalMs, maxQueryGapMs);
    std::printf("VmRSS over the soak: first %.2f  min %.2f  max %.2f  last %.2f MiB  spread %.2f "
                "MiB (%zu samples)\n",
                MiB(rss.front()), MiB(*rssMin), MiB(*rssMax), MiB(rss.back()), rssSpreadMiB,
                rss.size());
    std::printf("VmHWM after start-up: %.2f MiB  after the soak: %.2f MiB\n", MiB(startupHwm),
                MiB(endHwm));
    std::printf("VmRSS before Start %.2f MiB; at the end RssAnon %.2f  RssFile %.2f  RssShmem "
                "%.2f MiB\n",
                MiB(rssBeforeStart), MiB(StatusKiB("RssAnon")), MiB(StatusKiB("RssFile")),
                MiB(StatusKiB("RssShmem")));
    std::printf("open descriptors: before %lld  after %lld  (threads: before %lld  after %lld)\n",
                static_cast<long long>(fdsBefore.size()), static_cast<long long>(fdsAfter.size()),
                static_cast<long long>(threadsBefore), static_cast<long long>(threadsAfter));
    for (const QString& fd : fdsBefore)
        if (!fdsAfter.contains(fd))
            std::printf("  closed during the soak: %s\n", qPrintable(fd));
    for (const QString& fd : fdsAfter)
        if (!fdsBefore.contains(fd))
            std::printf("  opened during the soak: %s\n", qPrintable(fd));
    const bool traceOk =
        switches > 0 && outOfOrder == 0 && missedOrExtra == 0 && stray == 0 && queries == switches;
    std::printf("trace: %s\n", traceOk ? "complete" : "FAULTY");
    std::fflush(stdout);
    return traceOk ? 0 : 1;
}
