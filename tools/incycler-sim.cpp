// incycler-sim: a virtual RS-232 switcher on a pseudo-terminal, for trying InCycler without the
// hardware and for scripted tests. See Usage() for the stdin control lines.

#include "sim/VirtualSwitcher.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QRandomGenerator>
#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int) {
    const int saved = errno;
    const char byte = 1;
    // Nothing to do if the pipe is full: one pending byte already asks the loop to quit.
    [[maybe_unused]] ssize_t n = ::write(g_signalPipe[1], &byte, 1);
    errno = saved;
}

void Err(const QString& text) {
    std::fprintf(stderr, "incycler-sim: %s\n", qPrintable(text));
    std::fflush(stderr);
}

void Out(const QByteArray& line) {
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

const char* kControlHelp =
    "Control lines on stdin:\n"
    "  inject <escaped bytes>  write bytes to the line (\\x1b \\r \\0 ...)\n"
    "  noise <count>           write random bytes, ESC, CR and NUL among them\n"
    "  mute on|off             stop or resume replying\n"
    "  hold on|off             hold back the program's output (as CTS low) or release it\n"
    "  delay <ms>              delay every reply by ms milliseconds\n"
    "  state                   print the power state and the selected input\n"
    "  quit                    stop and exit\n";

QByteArray Noise(int count) {
    QRandomGenerator* rng = QRandomGenerator::global();
    QByteArray bytes(count, '\0');
    for (int i = 0; i < count; ++i) {
        // One byte in four is a framing byte, so the noise also opens, closes and breaks frames.
        switch (rng->bounded(8)) {
        case 0:
            bytes[i] = '\x1b';
            break;
        case 1:
            bytes[i] = '\r';
            break;
        default:
            bytes[i] = char(rng->bounded(256));
        }
    }
    // Guarantee the three awkward bytes whenever there is room for them.
    if (count >= 3) {
        const char specials[] = {'\x1b', '\r', '\0'};
        QList<int> positions;
        while (positions.size() < 3) {
            int p = rng->bounded(count);
            if (!positions.contains(p))
                positions.append(p);
        }
        for (int k = 0; k < 3; ++k)
            bytes[positions[k]] = specials[k];
    }
    return bytes;
}

class Controller : public QObject {
public:
    explicit Controller(VirtualSwitcher* sim) : m_sim(sim) {}

    void WatchStdin() {
        if (::fcntl(STDIN_FILENO, F_GETFD) < 0)
            return; // no stdin at all
        m_stdin = new QSocketNotifier(STDIN_FILENO, QSocketNotifier::Read, this);
        connect(m_stdin, &QSocketNotifier::activated, this, &Controller::OnStdin);
    }

private:
    void OnStdin() {
        char buf[4096];
        // The notifier said readable, so one read does not block; stdin is left blocking because
        // its file description may be shared with an interactive shell.
        ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            return;
        if (n <= 0) {
            // End of input: keep simulating until a signal arrives, as without a controller.
            m_stdin->setEnabled(false);
            if (!m_line.isEmpty())
                Execute(std::exchange(m_line, {}));
            return;
        }
        m_line.append(buf, n);
        qsizetype nl;
        while ((nl = m_line.indexOf('\n')) >= 0) {
            QByteArray line = m_line.left(nl);
            m_line.remove(0, nl + 1);
            Execute(line);
        }
    }

    void Execute(QByteArray line) {
        if (line.endsWith('\r'))
            line.chop(1);
        const qsizetype space = line.indexOf(' ');
        const QByteArray word = space < 0 ? line : line.left(space);
        const QByteArray arg = space < 0 ? QByteArray() : line.mid(space + 1);
        bool ok = false;
        if (word.isEmpty()) {
            return;
        } else if (word == "inject") {
            QByteArray bytes;
            QString error;
            if (VirtualSwitcher::UnescapeBytes(QString::fromUtf8(arg), &bytes, &error))
                m_sim->InjectRaw(bytes);
            else
                Err(QStringLiteral("inject: %1").arg(error));
        } else if (word == "noise") {
            const int count = arg.trimmed().toInt(&ok);
            if (ok && count >= 0 && count <= 1 << 20)
                m_sim->InjectRaw(Noise(count));
            else
                Err(QStringLiteral("noise: give a count from 0 to 1048576"));
        } else if (word == "mute") {
            if (arg.trimmed() == "on" || arg.trimmed() == "off")
                m_sim->SetMute(arg.trimmed() == "on");
            else
                Err(QStringLiteral("mute: give on or off"));
        } else if (word == "hold") {
            if (arg.trimmed() != "on" && arg.trimmed() != "off")
                Err(QStringLiteral("hold: give on or off"));
            else if (!m_sim->SetLineHeld(arg.trimmed() == "on"))
                Err(QStringLiteral("hold: the line cannot be held"));
        } else if (word == "delay") {
            const int ms = arg.trimmed().toInt(&ok);
            if (ok && ms >= 0)
                m_sim->SetReplyDelayMs(ms);
            else
                Err(QStringLiteral("delay: give milliseconds, 0 or more"));
        } else if (word == "state") {
            Out(QByteArray("power ") + (m_sim->PowerOn() ? "on" : "off") + " input " +
                QByteArray::number(m_sim->SelectedInput()));
        } else if (word == "quit") {
            QCoreApplication::quit();
        } else {
            Err(QStringLiteral("unknown control line '%1'\n%2")
                    .arg(QString::fromUtf8(line), QString::fromLatin1(kControlHelp)));
        }
    }

    VirtualSwitcher* m_sim;
    QSocketNotifier* m_stdin = nullptr;
    QByteArray m_line;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("incycler-sim"));
    QCoreApplication::setApplicationVersion(QStringLiteral(INCYCLER_VERSION));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral(
            "A virtual InCycler switcher on a pseudo-terminal, linked as <port-dir>/COM<n>.\n\n") +
        QString::fromLatin1(kControlHelp));
    parser.addHelpOption();
    parser.addVersionOption();
    const QCommandLineOption modelOpt(QStringLiteral("model"),
                                      QStringLiteral("Switcher model: A (RSX-24P) or B (RSX-24Q)."),
                                      QStringLiteral("A|B"), QStringLiteral("A"));
    const QCommandLineOption comOpt(QStringLiteral("com"), QStringLiteral("COM port number."),
                                    QStringLiteral("N"), QStringLiteral("1"));
    const QCommandLineOption dirOpt(
        QStringLiteral("port-dir"),
        QStringLiteral("Directory for the COM<n> link (default: $INCYCLER_PORT_DIR)."),
        QStringLiteral("DIR"));
    const QCommandLineOption delayOpt(QStringLiteral("reply-delay"),
                                      QStringLiteral("Delay every reply by MS milliseconds."),
                                      QStringLiteral("MS"), QStringLiteral("0"));
    const QCommandLineOption muteOpt(QStringLiteral("mute"),
                                     QStringLiteral("Receive and change state, never reply."));
    const QCommandLineOption traceOpt(
        QStringLiteral("trace"),
        QStringLiteral("Print each received frame on stdout: monotonic ms and the text."));
    const QCommandLineOption injectOpt(
        QStringLiteral("inject"),
        QStringLiteral(
            "Write TEXT (C escapes such as \\x1b \\r \\0) once after start; repeatable."),
        QStringLiteral("TEXT"));
    parser.addOptions({modelOpt, comOpt, dirOpt, delayOpt, muteOpt, traceOpt, injectOpt});
    parser.process(app);

    auto usageError = [](const QString& text) {
        Err(text);
        return 2;
    };
    if (!parser.positionalArguments().isEmpty())
        return usageError(
            QStringLiteral("unexpected argument '%1'").arg(parser.positionalArguments().first()));

    VirtualSwitcher::Options options;
    const QString model = parser.value(modelOpt).toUpper();
    if (model == QLatin1String("A"))
        options.model = VirtualSwitcher::Model::A;
    else if (model == QLatin1String("B"))
        options.model = VirtualSwitcher::Model::B;
    else
        return usageError(
            QStringLiteral("--model must be A or B, not '%1'").arg(parser.value(modelOpt)));
    bool ok = false;
    options.comNumber = parser.value(comOpt).toInt(&ok);
    if (!ok || options.comNumber < 1)
        return usageError(
            QStringLiteral("--com must be a number from 1, not '%1'").arg(parser.value(comOpt)));
    options.replyDelayMs = parser.value(delayOpt).toInt(&ok);
    if (!ok || options.replyDelayMs < 0)
        return usageError(QStringLiteral("--reply-delay must be milliseconds, 0 or more, not '%1'")
                              .arg(parser.value(delayOpt)));
    options.portDir =
        parser.isSet(dirOpt) ? parser.value(dirOpt) : qEnvironmentVariable("INCYCLER_PORT_DIR");
    if (options.portDir.isEmpty())
        return usageError(
            QStringLiteral("no port directory: give --port-dir or set INCYCLER_PORT_DIR"));
    options.mute = parser.isSet(muteOpt);
    options.trace = parser.isSet(traceOpt);
    options.keepHistory = false;

    QList<QByteArray> injections;
    for (const QString& text : parser.values(injectOpt)) {
        QByteArray bytes;
        QString error;
        if (!VirtualSwitcher::UnescapeBytes(text, &bytes, &error))
            return usageError(QStringLiteral("--inject: %1").arg(error));
        injections.append(bytes);
    }

    // Signals arrive through a pipe so that the loop quits normally and the link is removed.
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        Err(QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(std::strerror(errno))));
        return 1;
    }
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    QSocketNotifier signalNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&signalNotifier, &QSocketNotifier::activated, &app, [] {
        char buf[16];
        while (::read(g_signalPipe[0], buf, sizeof buf) > 0) {
        }
        QCoreApplication::quit();
    });

    VirtualSwitcher sim(options);
    QString error;
    if (!sim.Start(&error)) {
        Err(error);
        return 1;
    }
    Err(QStringLiteral("model %1 as COM%2 -> %3")
            .arg(model)
            .arg(options.comNumber)
            .arg(sim.SlavePath()));
    for (const QByteArray& bytes : injections)
        sim.InjectRaw(bytes);

    Controller controller(&sim);
    controller.WatchStdin();
    const int rc = app.exec();
    sim.Stop();
    return rc;
}
