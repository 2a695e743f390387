#include "Clock.h"

namespace {
qint64 g_offsetMs = 0;
std::function<QDateTime()> g_source;
} // namespace

namespace Clock {

QDateTime Now() {
    if (g_source)
        return g_source();
    const QDateTime now = QDateTime::currentDateTime();
    return g_offsetMs == 0 ? now : now.addMSecs(g_offsetMs);
}

void SetOffsetMs(qint64 offsetMs) {
    if (offsetMs == g_offsetMs)
        return;
    g_offsetMs = offsetMs;
    AnnounceSet();
}
qint64 OffsetMs() {
    return g_offsetMs;
}
void SetSource(std::function<QDateTime()> source) {
    g_source = std::move(source);
    AnnounceSet();
}

TClockNotifier* Notifier() {
    static TClockNotifier notifier;
    return &notifier;
}

void AnnounceSet() {
    emit Notifier()->ClockSet();
}

} // namespace Clock
