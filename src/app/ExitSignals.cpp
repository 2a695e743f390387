#include "ExitSignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {
int g_writeFd = -1;

void OnSignal(int signal) {
    // The interrupted code may be about to read errno.
    const int saved = errno;
    const char byte = static_cast<char>(signal);
    if (g_writeFd >= 0) [[maybe_unused]]
        auto written = ::write(g_writeFd, &byte, 1);
    errno = saved;
}
} // namespace

TExitSignals::TExitSignals(QObject* parent) : QObject(parent) {
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, m_fds) != 0)
        return;
    g_writeFd = m_fds[0];
    auto* notifier = new QSocketNotifier(m_fds[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        // The first signal decides how the process ends; repeats change nothing.
        char buffer[16];
        int first = 0;
        for (ssize_t got; (got = ::read(m_fds[1], buffer, sizeof buffer)) > 0;) {
            if (first == 0)
                first = static_cast<unsigned char>(buffer[0]);
        }
        if (first != 0)
            emit ExitRequested(first);
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
