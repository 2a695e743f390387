#include "sim/VirtualSwitcher.h"

#include <QFileInfo>
#include <QSerialPort>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <memory>
#include <utility>

namespace {

const QByteArray kEsc("\x1b");
const QByteArray kCr("\r");

QByteArray Frame(const QByteArray& text) {
    return kEsc + text + kCr;
}

// The program's side of the line: a plain serial port on the link, collecting what arrives.
class Peer : public QObject {
public:
    explicit Peer(const QString& path) {
        m_port.setPortName(path);
        connect(&m_port, &QSerialPort::readyRead, this, [this] {
            if (received.isEmpty())
                firstArrivalNs = VirtualSwitcher::MonotonicNs();
            received += m_port.readAll();
        });
        connect(&m_port, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
            if (e == QSerialPort::ResourceError) {
                hungUp = true;
                m_port.close(); // left open, a hung-up port floods the loop with errors
            }
        });
    }
    bool Open() { return m_port.open(QIODevice::ReadWrite); }
    bool Send(const QByteArray& bytes) {
        return m_port.write(bytes) == bytes.size() && m_port.flush();
    }
    QSerialPort& Port() { return m_port; }

    QByteArray received;
    qint64 firstArrivalNs = 0;
    bool hungUp = false;

private:
    QSerialPort m_port;
};

} // namespace

class TestVirtualSwitcher : public QObject {
    Q_OBJECT

private:
    QTemporaryDir m_dir;
    std::unique_ptr<VirtualSwitcher> m_sim;
    std::unique_ptr<Peer> m_peer;

    // A running simulator of the given model with a peer connected to it.
    void Connect(VirtualSwitcher::Model model) {
        VirtualSwitcher::Options o;
        o.model = model;
        o.comNumber = 4;
        o.portDir = m_dir.path();
        m_sim = std::make_unique<VirtualSwitcher>(o);
        QString error;
        QVERIFY2(m_sim->Start(&error), qPrintable(error));
        m_peer = std::make_unique<Peer>(m_sim->LinkPath());
        QVERIFY2(m_peer->Open(), qPrintable(m_peer->Port().errorString()));
    }

    // Sends commands and waits until the simulator has taken them all in.
    void SendAndWaitReceived(const QList<QByteArray>& texts) {
        const qsizetype before = m_sim->Frames().size();
        QByteArray bytes;
        for (const QByteArray& t : texts)
            bytes += Frame(t);
        QVERIFY(m_peer->Send(bytes));
        QTRY_COMPARE(m_sim->Frames().size(), before + texts.size());
    }

    // Asks and returns everything that arrived since the last call, up to and including the
    // answer. Replies keep their order, so whatever the earlier commands provoked shows up in
    // front of the answer.
    QByteArray AskAndCollect(const QByteArray& query, const QByteArray& expectedReply) {
        if (!m_peer->Send(Frame(query)))
            return "<send failed>";
        if (!QTest::qWaitFor([&] { return m_peer->received.endsWith(Frame(expectedReply)); }))
            return "<timeout> " + m_peer->received;
        return std::exchange(m_peer->received, {});
    }

    // A new peer on the same link is served like the first.
    void ReopenAndSelect() {
        QVERIFY(m_sim->Running());
        m_peer = std::make_unique<Peer>(m_sim->LinkPath());
        QVERIFY(m_peer->Open());
        m_peer->Port().clear(QSerialPort::Input); // the stray byte from above
        QVERIFY(m_peer->Send(Frame("SRC3")));
        QTRY_COMPARE(m_sim->SelectedInput(), 3);
        QVERIFY(m_peer->received.isEmpty() || m_peer->received == "x");
        m_peer->received.clear();
        QCOMPARE(AskAndCollect("GET", "get3"), Frame("get3"));
    }

private slots:
    void init() { QVERIFY(m_dir.isValid()); }

    void cleanup() {
        m_peer.reset();
        m_sim.reset();
    }

    void escapes_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("plain") << "GET" << QByteArray("GET");
        QTest::newRow("frame") << "\\x1bPWR?\\r" << QByteArray("\x1bPWR?\r");
        QTest::newRow("nul") << "a\\0b" << QByteArray("a\0b", 3);
        QTest::newRow("octal") << "\\033\\15" << QByteArray("\x1b\r");
        QTest::newRow("short hex then text") << "\\xdG" << QByteArray("\rG");
        QTest::newRow("high byte") << "\\xFF" << QByteArray("\xff");
        QTest::newRow("named") << "\\e\\t\\n\\\\" << QByteArray("\x1b\t\n\\");
    }

    void escapes() {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QByteArray out;
        QString error;
        QVERIFY2(VirtualSwitcher::UnescapeBytes(text, &out, &error), qPrintable(error));
        QCOMPARE(out, bytes);
        // What the trace prints reads back as the same bytes.
        QByteArray again;
        QVERIFY(VirtualSwitcher::UnescapeBytes(
            QString::fromLatin1(VirtualSwitcher::EscapeBytes(bytes)), &again));
        QCOMPARE(again, bytes);
    }

    void escapesEveryByteAndRejectsMalformed() {
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all += char(i);
        const QByteArray escaped = VirtualSwitcher::EscapeBytes(all);
        for (char c : escaped)
            QVERIFY(c >= 0x20 && c < 0x7f);
        QByteArray back;
        QVERIFY(VirtualSwitcher::UnescapeBytes(QString::fromLatin1(escaped), &back));
        QCOMPARE(back, all);
        QCOMPARE(VirtualSwitcher::EscapeBytes("\x1bpwr1\r"), QByteArray("\\x1bpwr1\\r"));

        for (const char* bad : {"abc\\", "\\x", "\\xg", "\\q", "\\400"}) {
            QByteArray out = "untouched";
            QString error;
            QVERIFY2(!VirtualSwitcher::UnescapeBytes(QString::fromLatin1(bad), &out, &error), bad);
            QVERIFY(!error.isEmpty());
            QCOMPARE(out, QByteArray("untouched"));
        }
    }

    void startLinksARawPtyAndStopRemovesTheLink() {
        VirtualSwitcher::Options o;
        o.comNumber = 12;
        o.portDir = m_dir.filePath("ports/nested"); // created on demand
        VirtualSwitcher sim(o);
        QCOMPARE(sim.LinkPath(), m_dir.filePath("ports/nested/COM12"));
        QVERIFY(!sim.Running());

        // A stale link from an earlier run is replaced.
        QVERIFY(QDir().mkpath(o.portDir));
        QVERIFY(QFile::link("/nonexistent/pts", sim.LinkPath()));
        QString error;
        QVERIFY2(sim.Start(&error), qPrintable(error));
        QVERIFY(sim.Running());
        QVERIFY(sim.SlavePath().startsWith("/dev/pts/"));
        QCOMPARE(QFileInfo(sim.LinkPath()).symLinkTarget(), sim.SlavePath());
        QCOMPARE(sim.PowerOn(), false);
        QCOMPARE(sim.SelectedInput(), 1);

        QVERIFY(!sim.Start(&error));
        QVERIFY(error.contains("already running"));

        // The slave is raw: no echo, no CR translation, so bytes pass both ways unchanged.
        const int fd = ::open(QFile::encodeName(sim.LinkPath()).constData(), O_RDWR | O_NOCTTY);
        QVERIFY(fd >= 0);
        termios tio{};
        QCOMPARE(::tcgetattr(fd, &tio), 0);
        QCOMPARE(tio.c_lflag & (ECHO | ICANON | ISIG), tcflag_t(0));
        QCOMPARE(tio.c_iflag & (ICRNL | IXON), tcflag_t(0));
        QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
        ::close(fd);

        sim.Stop();
        QVERIFY(!sim.Running());
        QVERIFY(sim.SlavePath().isEmpty());
        QVERIFY(!QFileInfo::exists(sim.LinkPath()) && !QFileInfo(sim.LinkPath()).isSymLink());
        sim.Stop(); // harmless twice

        VirtualSwitcher noDir(VirtualSwitcher::Options{});
        QVERIFY(!noDir.Start(&error));
        QVERIFY(error.contains("port directory"));
    }

    void modelAAnswersAndFollowsCommands() {
        Connect(VirtualSwitcher::Model::A);
        QCOMPARE(AskAndCollect("PWR?", "pwr0"), Frame("pwr0"));
        QCOMPARE(AskAndCollect("GET", "get1"), Frame("get1"));

        SendAndWaitReceived({"PWR1"});
        QCOMPARE(m_sim->PowerOn(), true);
        QCOMPARE(AskAndCollect("PWR?", "pwr1"), Frame("pwr1"));
        SendAndWaitReceived({"PWR0"});
        QCOMPARE(m_sim->PowerOn(), false);
        QCOMPARE(AskAndCollect("PWR?", "pwr0"), Frame("pwr0"));

        SendAndWaitReceived({"SRC3"});
        QCOMPARE(m_sim->SelectedInput(), 3);
        QCOMPARE(AskAndCollect("GET", "get3"), Frame("get3"));

        // State set from outside is what the device reports.
        m_sim->SetSelectedInput(7);
        m_sim->SetPowerOn(true);
        QCOMPARE(AskAndCollect("GET", "get7"), Frame("get7"));
        QCOMPARE(AskAndCollect("PWR?", "pwr1"), Frame("pwr1"));
        m_sim->SetSelectedInput(10); // not one digit: ignored
        QCOMPARE(m_sim->SelectedInput(), 7);
    }

    void selectChangesOnlyForInputsOneToThree_data() {
        QTest::addColumn<VirtualSwitcher::Model>("model");
        QTest::addColumn<QByteArray>("command");
        QTest::addColumn<int>("expected");
        const QList<std::pair<VirtualSwitcher::Model, QByteArray>> prefixes = {
            {VirtualSwitcher::Model::A, "SRC"}, {VirtualSwitcher::Model::B, "X24Q"}};
        for (const auto& [model, prefix] : prefixes) {
            const char* m = model == VirtualSwitcher::Model::A ? "A " : "B ";
            QTest::addRow("%s2", m) << model << prefix + "2" << 2;
            QTest::addRow("%s3", m) << model << prefix + "3" << 3;
            QTest::addRow("%s0", m) << model << prefix + "0" << 1;
            QTest::addRow("%s10", m) << model << prefix + "10" << 1;
            QTest::addRow("%s-1", m) << model << prefix + "-1" << 1;
            QTest::addRow("%s4", m) << model << prefix + "4" << 1;
            QTest::addRow("%sempty", m) << model << prefix << 1;
            QTest::addRow("%sletter", m) << model << prefix + "x" << 1;
        }
    }

    void selectChangesOnlyForInputsOneToThree() {
        QFETCH(VirtualSwitcher::Model, model);
        QFETCH(QByteArray, command);
        QFETCH(int, expected);
        Connect(model);
        const QByteArray query = model == VirtualSwitcher::Model::A ? "GET" : "X24QG";
        const QByteArray reply =
            (model == VirtualSwitcher::Model::A ? "get" : "X24Qg") + QByteArray::number(expected);
        SendAndWaitReceived({command});
        QCOMPARE(m_sim->SelectedInput(), expected);
        // A select is never answered: only the query's reply arrives.
        QCOMPARE(AskAndCollect(query, reply), Frame(reply));
    }

    void modelBAnswersItsOwnQueryOnly() {
        Connect(VirtualSwitcher::Model::B);
        QCOMPARE(AskAndCollect("X24QG", "X24Qg1"), Frame("X24Qg1"));
        SendAndWaitReceived({"X24Q2", "PWR1", "PWR?", "GET", "SRC3", "x24qg"});
        QCOMPARE(m_sim->SelectedInput(), 2);
        QCOMPARE(m_sim->PowerOn(), false);
        // None of model A's commands nor the lower-case query drew an answer.
        QCOMPARE(AskAndCollect("X24QG", "X24Qg2"), Frame("X24Qg2"));
    }

    void unknownTextsAreNotAnswered() {
        Connect(VirtualSwitcher::Model::A);
        SendAndWaitReceived({"pwr?", "get", "PWR", "PWR2", "GET1", "X24QG", "", " GET", "PWR? "});
        QCOMPARE(m_sim->PowerOn(), false);
        QCOMPARE(AskAndCollect("GET", "get1"), Frame("get1"));
        QCOMPARE(m_sim->Frames().first(), QByteArray("pwr?"));
        QCOMPARE(m_sim->Frames().at(6), QByteArray()); // an empty frame is still a frame
    }

    void muteChangesStateButNeverReplies() {
        Connect(VirtualSwitcher::Model::A);
        m_sim->SetMute(true);
        QVERIFY(m_sim->Mute());
        SendAndWaitReceived({"PWR1", "PWR?", "SRC2", "GET"});
        QCOMPARE(m_sim->PowerOn(), true);
        QCOMPARE(m_sim->SelectedInput(), 2);

        // Replies would have been written as each frame was read, ahead of the next one; only
        // the reply to the query sent after unmuting arrives.
        m_sim->SetMute(false);
        QCOMPARE(AskAndCollect("GET", "get2"), Frame("get2"));

        // A muted device does not answer later either, whatever the delay.
        m_sim->SetMute(true);
        m_sim->SetReplyDelayMs(100);
        SendAndWaitReceived({"PWR?"});
        m_sim->SetMute(false);
        m_sim->SetReplyDelayMs(150);
        QCOMPARE(AskAndCollect("PWR?", "pwr1"), Frame("pwr1"));
    }

    void framesAreAssembledAcrossWritesAndGarbageIsSkipped() {
        Connect(VirtualSwitcher::Model::A);
        QSignalSpy spy(m_sim.get(), &VirtualSwitcher::FrameReceived);
        QByteArray sent;
        for (const QByteArray& piece :
             {QByteArray("\x1bP"), QByteArray("WR"), QByteArray("?"), QByteArray("\r")}) {
            QVERIFY(m_peer->Send(piece));
            sent += piece;
            // Each piece is read on its own before the next one is written.
            QTRY_COMPARE(m_sim->RawReceived(), sent);
        }
        QTRY_COMPARE(m_peer->received, Frame("pwr0"));
        QCOMPARE(spy.size(), 1);
        QCOMPARE(spy.first().first().toByteArray(), QByteArray("PWR?"));

        // Bytes outside frames are ignored; a second ESC restarts the frame.
        m_peer->received.clear();
        m_sim->ClearFrames();
        m_sim->ClearRawReceived();
        const QByteArray noisy("junk\r\0\x1bSR\x1bGET\rtrailing\x1bPWR", 26);
        QVERIFY(m_peer->Send(noisy));
        QTRY_COMPARE(m_sim->RawReceived(), noisy);
        QCOMPARE(m_sim->Frames(), QList<QByteArray>{"GET"});
        QTRY_COMPARE(m_peer->received, Frame("get1"));
        // The open frame completes with later bytes.
        QVERIFY(m_peer->Send("1\r"));
        QTRY_COMPARE(m_sim->Frames(), (QList<QByteArray>{"GET", "PWR1"}));
        QCOMPARE(m_sim->PowerOn(), true);
    }

    void framesCarryTheirReceiveTime() {
        Connect(VirtualSwitcher::Model::A);
        const qint64 before = VirtualSwitcher::MonotonicNs();
        SendAndWaitReceived({"PWR1"});
        SendAndWaitReceived({"GET"});
        const qint64 after = VirtualSwitcher::MonotonicNs();
        const QList<VirtualSwitcher::TimedFrame> frames = m_sim->TimedFrames();
        QCOMPARE(frames.size(), 2);
        QCOMPARE(frames[0].text, QByteArray("PWR1"));
        QCOMPARE(frames[1].text, QByteArray("GET"));
        QVERIFY(before <= frames[0].monotonicNs);
        QVERIFY(frames[0].monotonicNs <= frames[1].monotonicNs);
        QVERIFY(frames[1].monotonicNs <= after);
        m_sim->ClearFrames();
        QVERIFY(m_sim->Frames().isEmpty());
    }

    void replyDelayHoldsRepliesBackInOrder() {
        Connect(VirtualSwitcher::Model::A);
        constexpr int delayMs = 300;
        m_sim->SetReplyDelayMs(delayMs);
        QCOMPARE(m_sim->ReplyDelayMs(), delayMs);
        QVERIFY(m_peer->Send(Frame("GET")));
        QTRY_COMPARE(m_sim->Frames().size(), 1);
        // A reply without delay must not overtake the one still waiting.
        m_sim->SetReplyDelayMs(0);
        QVERIFY(m_peer->Send(Frame("PWR?")));
        QTRY_COMPARE(m_peer->received, Frame("get1") + Frame("pwr0"));
        const qint64 waitedNs = m_peer->firstArrivalNs - m_sim->TimedFrames().first().monotonicNs;
        QVERIFY2(waitedNs >= qint64(delayMs) * 1000000, qPrintable(QString::number(waitedNs)));
        m_peer->received.clear();

        // Once the queue is empty, a zero delay answers right away again.
        QCOMPARE(AskAndCollect("GET", "get1"), Frame("get1"));
        m_sim->SetReplyDelayMs(-5);
        QCOMPARE(m_sim->ReplyDelayMs(), 0);
    }

    void injectedBytesArriveExactly() {
        Connect(VirtualSwitcher::Model::A);
        QByteArray all;
        for (int i = 0; i < 256; ++i)
            all += char(i);
        m_sim->InjectRaw(QByteArray("\0\0", 2));
        m_sim->InjectRaw("garbage\x1bpw");
        m_sim->InjectRaw("r1\r");
        m_sim->InjectRaw(all);
        const QByteArray expected = QByteArray("\0\0", 2) + "garbage\x1bpwr1\r" + all;
        QTRY_COMPARE(m_peer->received, expected);

        // Far more than the pty holds: InjectRaw must return at once (this thread is the
        // reader) and the rest must follow in order as the reader drains the line.
        QByteArray big(1 << 20, '\0');
        for (int i = 0; i < big.size(); ++i)
            big[i] = char((i * 7 + i / 251) & 0xff);
        m_peer->received.clear();
        m_sim->InjectRaw(big);
        QTRY_COMPARE_WITH_TIMEOUT(m_peer->received.size(), big.size(), 20000);
        QVERIFY(m_peer->received == big);
        // Injected replies do not confuse the simulator's own parsing.
        QVERIFY(m_sim->Frames().isEmpty());
    }

    void peerMayCloseAndReopenWhileRunning() {
        Connect(VirtualSwitcher::Model::A);
        QCOMPARE(AskAndCollect("GET", "get1"), Frame("get1"));
        m_peer->Port().close();
        // Bytes written while nobody has the port open must not break the simulator.
        m_sim->InjectRaw("x");
        ReopenAndSelect();
    }

    void stopHangsUpAndStartRelinks() {
        Connect(VirtualSwitcher::Model::A);
        SendAndWaitReceived({"SRC2", "PWR1"});

        // A plain descriptor sees the hang-up as well as the serial port.
        const int fd = ::open(QFile::encodeName(m_sim->LinkPath()).constData(),
                              O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(fd >= 0);
        m_sim->Stop();
        QTRY_VERIFY(m_peer->hungUp);
        pollfd p{fd, POLLIN, 0};
        QCOMPARE(::poll(&p, 1, 5000), 1);
        QVERIFY(p.revents & POLLHUP);
        ::close(fd);
        QVERIFY(!QFileInfo(m_sim->LinkPath()).isSymLink());
        // What was received before the stop is still there.
        QCOMPARE(m_sim->Frames(), (QList<QByteArray>{"SRC2", "PWR1"}));

        QString error;
        QVERIFY2(m_sim->Start(&error), qPrintable(error));
        QCOMPARE(QFileInfo(m_sim->LinkPath()).symLinkTarget(), m_sim->SlavePath());
        m_peer = std::make_unique<Peer>(m_sim->LinkPath());
        QVERIFY2(m_peer->Open(), qPrintable(m_peer->Port().errorString()));
        // The device keeps its state across a reconnection.
        QCOMPARE(AskAndCollect("GET", "get2"), Frame("get2"));
        QCOMPARE(AskAndCollect("PWR?", "pwr1"), Frame("pwr1"));
    }

    void stopFromTheFrameSignalIsSafe() {
        Connect(VirtualSwitcher::Model::A);
        QSignalSpy spy(m_sim.get(), &VirtualSwitcher::FrameReceived);
        connect(m_sim.get(), &VirtualSwitcher::FrameReceived, this, [this] { m_sim->Stop(); });
        // The second frame arrives in the same read but must not be handled after the stop.
        QVERIFY(m_peer->Send(Frame("SRC2") + Frame("SRC3")));
        QTRY_VERIFY(!m_sim->Running());
        QTRY_VERIFY(m_peer->hungUp);
        QCOMPARE(spy.size(), 1);
        QCOMPARE(m_sim->SelectedInput(), 2);
    }
};

QTEST_GUILESS_MAIN(TestVirtualSwitcher)
#include "tst_VirtualSwitcher.moc"
