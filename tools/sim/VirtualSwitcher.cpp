#include "sim/VirtualSwitcher.h"

#include <QDir>
#include <QFile>
#include <QPointer>
#include <QSocketNotifier>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr char kEsc = '\x1b';
constexpr char kCr = '\r';

QString ErrnoText(const char* what) {
    return QStringLiteral("%1: %2").arg(QString::fromLatin1(what),
                                        QString::fromLocal8Bit(std::strerror(errno)));
}

// Strict decimal with an optional minus sign: what the program sends after a select prefix.
bool ParseNumber(const QByteArray& digits, int* value) {
    if (digits.isEmpty())
        return false;
    int start = digits.startsWith('-') ? 1 : 0;
    if (start == digits.size() || digits.size() - start > 9)
        return false;
    for (int i = start; i < digits.size(); ++i) {
        if (digits[i] < '0' || digits[i] > '9')
            return false;
    }
    *value = digits.toInt();
    return true;
}

bool SetCloexec(int fd) {
    int flags = ::fcntl(fd, F_GETFD);
    return flags >= 0 && ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) == 0;
}

} // namespace

VirtualSwitcher::VirtualSwitcher(const Options& options, QObject* parent)
    : QObject(parent), m_options(options) {
    SetReplyDelayMs(options.replyDelayMs);
    m_replyTimer.setSingleShot(true);
    // Coarse timers may fire early; a reply must never come before its delay.
    m_replyTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_replyTimer, &QTimer::timeout, this, &VirtualSwitcher::OnReplyTimer);
}

VirtualSwitcher::~VirtualSwitcher() {
    Stop();
}

QString VirtualSwitcher::LinkPath() const {
    return QDir(m_options.portDir).filePath(QStringLiteral("COM%1").arg(m_options.comNumber));
}

void VirtualSwitcher::SetSelectedInput(int input) {
    if (input >= 0 && input <= 9)
        m_input = input;
}

QList<QByteArray> VirtualSwitcher::Frames() const {
    QList<QByteArray> texts;
    texts.reserve(m_frames.size());
    for (const TimedFrame& f : m_frames)
        texts.append(f.text);
    return texts;
}

qint64 VirtualSwitcher::MonotonicNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool VirtualSwitcher::Start(QString* error) {
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    if (Running())
        return fail(QStringLiteral("already running as %1").arg(LinkPath()));
    if (m_options.portDir.isEmpty())
        return fail(QStringLiteral("no port directory given"));
    if (m_options.comNumber < 1)
        return fail(
            QStringLiteral("COM number must be 1 or more, not %1").arg(m_options.comNumber));
    if (!QDir().mkpath(m_options.portDir))
        return fail(QStringLiteral("cannot create the port directory %1").arg(m_options.portDir));

    int master = -1;
    int slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
        return fail(ErrnoText("openpty"));
    auto closeBoth = [&] {
        ::close(master);
        ::close(slave);
    };
    // Test programs start child processes; an inherited master would keep the line alive after
    // Stop and hide the hang-up from the program's side.
    if (!SetCloexec(master) || !SetCloexec(slave)) {
        QString message = ErrnoText("fcntl(FD_CLOEXEC)");
        closeBoth();
        return fail(message);
    }
    // Raw: no echo back to us, no CR/LF translation, every byte passes through as it is.
    termios tio{};
    if (::tcgetattr(slave, &tio) != 0) {
        QString message = ErrnoText("tcgetattr");
        closeBoth();
        return fail(message);
    }
    ::cfmakeraw(&tio);
    if (::tcsetattr(slave, TCSANOW, &tio) != 0) {
        QString message = ErrnoText("tcsetattr");
        closeBoth();
        return fail(message);
    }
    int flags = ::fcntl(master, F_GETFL);
    if (flags < 0 || ::fcntl(master, F_SETFL, flags | O_NONBLOCK) != 0) {
        QString message = ErrnoText("fcntl(O_NONBLOCK)");
        closeBoth();
        return fail(message);
    }
    char name[128] = {};
    if (::ptsname_r(master, name, sizeof name) != 0) {
        QString message = ErrnoText("ptsname_r");
        closeBoth();
        return fail(message);
    }

    // Symlink to a temporary name and rename it over the old link, so that a stale link from
    // an earlier run is replaced in one step and the name never points nowhere.
    const QString link = LinkPath();
    const QByteArray linkBytes = QFile::encodeName(link);
    const QByteArray tmpBytes = linkBytes + ".tmp" + QByteArray::number(::getpid());
    ::unlink(tmpBytes.constData());
    if (::symlink(name, tmpBytes.constData()) != 0) {
        QString message = ErrnoText("symlink");
        closeBoth();
        return fail(message);
    }
    if (::rename(tmpBytes.constData(), linkBytes.constData()) != 0) {
        QString message = ErrnoText("rename") + QStringLiteral(" (%1)").arg(link);
        ::unlink(tmpBytes.constData());
        closeBoth();
        return fail(message);
    }

    m_masterFd = master;
    // Held open but never read: with no slave open at all the master reads EIO, and the program
    // under test closes and reopens its port whenever it likes.
    m_slaveFd = slave;
    m_slavePath = QString::fromLocal8Bit(name);
    m_inFrame = false;
    m_partial.clear();
    m_readNotifier = new QSocketNotifier(master, QSocketNotifier::Read, this);
    connect(m_readNotifier, &QSocketNotifier::activated, this, &VirtualSwitcher::OnReadable);
    m_writeNotifier = new QSocketNotifier(master, QSocketNotifier::Write, this);
    m_writeNotifier->setEnabled(false);
    connect(m_writeNotifier, &QSocketNotifier::activated, this, &VirtualSwitcher::OnWritable);
    return true;
}

void VirtualSwitcher::Stop() {
    if (!Running())
        return;
    ++m_generation;
    m_replyTimer.stop();
    m_pending.clear();
    m_out.clear();
    m_inFrame = false;
    m_partial.clear();
    CloseFds();

    // Only remove the link if it is still ours: another simulator may have taken the name.
    const QByteArray linkBytes = QFile::encodeName(LinkPath());
    char target[256] = {};
    ssize_t n = ::readlink(linkBytes.constData(), target, sizeof target - 1);
    if (n > 0 && QString::fromLocal8Bit(target, n) == m_slavePath)
        ::unlink(linkBytes.constData());
    m_slavePath.clear();
}

void VirtualSwitcher::CloseFds() {
    // Stop may run inside a notifier's own activation; deleting it there is not safe, and a
    // disabled notifier no longer watches the descriptor about to be closed.
    for (QSocketNotifier* n : {m_readNotifier, m_writeNotifier}) {
        if (n) {
            n->setEnabled(false);
            n->deleteLater();
        }
    }
    m_readNotifier = nullptr;
    m_writeNotifier = nullptr;
    ::close(m_masterFd);
    ::close(m_slaveFd);
    m_masterFd = -1;
    m_slaveFd = -1;
}

bool VirtualSwitcher::SetLineHeld(bool held) {
    return Running() && ::tcflow(m_slaveFd, held ? TCOOFF : TCOON) == 0;
}

void VirtualSwitcher::InjectRaw(const QByteArray& bytes) {
    Write(bytes);
}

void VirtualSwitcher::Write(const QByteArray& bytes) {
    if (!Running() || bytes.isEmpty())
        return;
    m_out.append(bytes);
    FlushOut();
}

void VirtualSwitcher::FlushOut() {
    qsizetype done = 0;
    while (done < m_out.size()) {
        ssize_t n = ::write(m_masterFd, m_out.constData() + done, size_t(m_out.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        qWarning("incycler-sim: write to the pty failed: %s", std::strerror(errno));
        m_out.clear();
        done = 0;
        break;
    }
    m_out.remove(0, done);
    if (m_writeNotifier)
        m_writeNotifier->setEnabled(!m_out.isEmpty());
}

void VirtualSwitcher::OnWritable() {
    FlushOut();
}

void VirtualSwitcher::OnReadable() {
    QByteArray chunk;
    char buf[4096];
    for (;;) {
        ssize_t n = ::read(m_masterFd, buf, sizeof buf);
        if (n > 0) {
            chunk.append(buf, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        // EOF or EIO cannot happen while we hold the slave open; if it does anyway, stop
        // listening rather than spin on a descriptor that stays readable forever.
        qWarning("incycler-sim: read from the pty failed: %s",
                 n == 0 ? "end of file" : std::strerror(errno));
        m_readNotifier->setEnabled(false);
        break;
    }
    if (chunk.isEmpty())
        return;

    const qint64 nowNs = MonotonicNs();
    if (m_options.keepHistory)
        m_raw.append(chunk);
    for (char c : std::as_const(chunk)) {
        if (c == kEsc) {
            m_inFrame = true;
            m_partial.clear();
        } else if (!m_inFrame) {
            continue;
        } else if (c == kCr) {
            m_inFrame = false;
            QByteArray text = m_partial;
            m_partial.clear();
            if (!HandleFrame(text, nowNs))
                return; // stopped or destroyed from a slot
        } else {
            m_partial.append(c);
        }
    }
}

bool VirtualSwitcher::HandleFrame(const QByteArray& text, qint64 nowNs) {
    if (m_options.keepHistory)
        m_frames.append(TimedFrame{nowNs, text});
    if (m_options.trace) {
        const QByteArray line =
            QByteArray::number(double(nowNs) / 1e6, 'f', 3) + ' ' + EscapeBytes(text) + '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
        std::fflush(stdout);
    }

    int n = 0;
    if (m_options.model == Model::A) {
        if (text == "PWR1") {
            m_powerOn = true;
        } else if (text == "PWR0") {
            m_powerOn = false;
        } else if (text == "PWR?") {
            Reply(m_powerOn ? "pwr1" : "pwr0", nowNs);
        } else if (text == "GET") {
            Reply("get" + QByteArray::number(m_input), nowNs);
        } else if (text.startsWith("SRC") && ParseNumber(text.mid(3), &n)) {
            if (n >= 1 && n <= 3)
                m_input = n;
        }
    } else {
        if (text == "X24QG") {
            Reply("X24Qg" + QByteArray::number(m_input), nowNs);
        } else if (text.startsWith("X24Q") && ParseNumber(text.mid(4), &n)) {
            if (n >= 1 && n <= 3)
                m_input = n;
        }
    }

    const quint64 generation = m_generation;
    QPointer<VirtualSwitcher> self(this);
    emit FrameReceived(text);
    return self && m_generation == generation;
}

void VirtualSwitcher::Reply(const QByteArray& text, qint64 receivedNs) {
    if (m_options.mute)
        return;
    const QByteArray frame = kEsc + text + kCr;
    // A device answers in order: a reply never overtakes one still waiting, even when the
    // delay was shortened in between.
    if (m_options.replyDelayMs == 0 && m_pending.isEmpty()) {
        Write(frame);
        return;
    }
    qint64 due = receivedNs + qint64(m_options.replyDelayMs) * 1000000;
    if (!m_pending.isEmpty())
        due = std::max(due, m_pending.last().dueNs);
    m_pending.append(PendingReply{due, frame});
    ArmReplyTimer();
}

void VirtualSwitcher::ArmReplyTimer() {
    if (m_pending.isEmpty()) {
        m_replyTimer.stop();
        return;
    }
    const qint64 remainingNs = m_pending.first().dueNs - MonotonicNs();
    const qint64 ms = remainingNs <= 0 ? 0 : (remainingNs + 999999) / 1000000;
    m_replyTimer.start(int(ms));
}

void VirtualSwitcher::OnReplyTimer() {
    const qint64 nowNs = MonotonicNs();
    while (!m_pending.isEmpty() && m_pending.first().dueNs <= nowNs) {
        PendingReply r = m_pending.takeFirst();
        // Muting silences replies that were waiting as well.
        if (!m_options.mute)
            Write(r.frame);
    }
    ArmReplyTimer();
}

QByteArray VirtualSwitcher::EscapeBytes(const QByteArray& bytes) {
    static const char hex[] = "0123456789abcdef";
    QByteArray out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c >= 0x20 && c < 0x7f) {
                out += char(c);
            } else {
                out += "\\x";
                out += hex[c >> 4];
                out += hex[c & 0xf];
            }
        }
    }
    return out;
}

bool VirtualSwitcher::UnescapeBytes(const QString& text, QByteArray* out, QString* error) {
    auto fail = [error](const QString& message) {
        if (error)
            *error = message;
        return false;
    };
    auto hexValue = [](QChar c) {
        if (c >= u'0' && c <= u'9')
            return c.unicode() - u'0';
        if (c >= u'a' && c <= u'f')
            return c.unicode() - u'a' + 10;
        if (c >= u'A' && c <= u'F')
            return c.unicode() - u'A' + 10;
        return -1;
    };
    QByteArray result;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c != u'\\') {
            if (c.unicode() > 0xff)
                return fail(QStringLiteral("character %1 at %2 is not a byte; write it as \\xHH")
                                .arg(c)
                                .arg(i));
            result += char(c.unicode());
            continue;
        }
        if (++i == text.size())
            return fail(QStringLiteral("lone backslash at the end"));
        const QChar e = text[i];
        switch (e.unicode()) {
        case u'\\':
        case u'\'':
        case u'"':
        case u'?':
            result += char(e.unicode());
            break;
        case u'a':
            result += '\a';
            break;
        case u'b':
            result += '\b';
            break;
        case u'e':
            result += '\x1b';
            break;
        case u'f':
            result += '\f';
            break;
        case u'n':
            result += '\n';
            break;
        case u'r':
            result += '\r';
            break;
        case u't':
            result += '\t';
            break;
        case u'v':
            result += '\v';
            break;
        case u'x': {
            int value = 0;
            int digits = 0;
            while (digits < 2 && i + 1 < text.size() && hexValue(text[i + 1]) >= 0) {
                value = value * 16 + hexValue(text[++i]);
                ++digits;
            }
            if (digits == 0)
                return fail(QStringLiteral("\\x without hex digits at %1").arg(i - 1));
            result += char(value);
            break;
        }
        default:
            if (e >= u'0' && e <= u'7') {
                int value = e.unicode() - u'0';
                for (int digits = 1; digits < 3 && i + 1 < text.size() && text[i + 1] >= u'0' &&
                                     text[i + 1] <= u'7';
                     ++digits)
                    value = value * 8 + (text[++i].unicode() - u'0');
                if (value > 0xff)
                    return fail(QStringLiteral("octal escape above \\377 at %1").arg(i));
                result += char(value);
                break;
            }
            return fail(QStringLiteral("unknown escape \\%1 at %2").arg(e).arg(i - 1));
        }
    }
    *out = result;
    return true;
}
