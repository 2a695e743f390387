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
    g_offsetMs = offsetMs;
}
qint64 OffsetMs() {
    return g_offsetMs;
}
void SetSource(std::function<QDateTime()> source) {
    g_source = std::move(source);
}

} // namespace Clock
