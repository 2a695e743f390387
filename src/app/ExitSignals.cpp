#include "ExitSignals.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_writeFd = -1;

void OnSignal(int) {
    const char byte = 1;
    if (g_writeFd >= 0) [[maybe_unused]]
        auto written = ::write(g_writeFd, &byte, 1);
}
} // namespace

TExitSignals::TExitSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0)
        return;
    g_writeFd = m_fds[0];
    auto* notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buffer[16];
        while (::read(m_fds[1], buffer, sizeof buffer) > 0) {
        }
        emit ExitRequested();
    });
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
}

TExitSignals::~TExitSignals() {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    for (int sig : {SIGTERM, SIGINT, SIGHUP})
        ::sigaction(sig, &action, nullptr);
    g_writeFd = -1;
    for (int fd : m_fds) {
        if (fd >= 0)
            ::close(fd);
    }
}
