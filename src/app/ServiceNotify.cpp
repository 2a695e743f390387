#include "ServiceNotify.h"

#include "ConnectReported.h"
#include "common/WindowTimer.h"

#include <systemd/sd-daemon.h>

#include <climits>

namespace {

QString g_lastStatus;

// A status line holds text from elsewhere (a device's name, the system's reason); a line
// break in it would start an assignment of its own in the message.
QByteArray StatusLine(const QString& status) {
    QByteArray line = status.toUtf8();
    for (char& c : line) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
            c = '?';
    }
    return "STATUS=" + line;
}

void Send(const QByteArray& state) {
    ::sd_notify(0, state.constData());
}

} // namespace

namespace ServiceNotify {

void StartWatchdog(QObject* parent) {
    uint64_t periodUs = 0;
    if (::sd_watchdog_enabled(0, &periodUs) <= 0 || periodUs == 0)
        return;
    const qint64 halfMs = qMax<qint64>(1, qint64(periodUs / 2000));
    auto* ping = new TWindowTimer(parent, int(qMin<qint64>(halfMs, INT_MAX)), true);
    ConnectReported(ping, &TWindowTimer::Timer, parent, [] { Send("WATCHDOG=1"); });
}

void Ready(const QString& status) {
    g_lastStatus = status;
    Send("READY=1\n" + StatusLine(status));
}

void Status(const QString& status) {
    if (status == g_lastStatus)
        return;
    g_lastStatus = status;
    Send(StatusLine(status));
}

} // namespace ServiceNotify
