#include "common/Errors.h"
#include "device/ReceiveBuffer.h"
#include "device/ReplyFraming.h"

#include <QTest>

using namespace ReplyFraming;

class TestReplyFraming : public QObject {
    Q_OBJECT
private slots:
    void cutsOneReplyPerTick() {
        QByteArray buffer("\x1bpwr1\r\x1bget2\r");
        Tick first = CutOneReply(buffer);
        QCOMPARE(first.result, TickResult::Reply);
        QCOMPARE(first.reply, QByteArray("pwr1"));
        QCOMPARE(buffer, QByteArray("\x1bget2\r"));
        Tick second = CutOneReply(buffer);
        QCOMPARE(second.reply, QByteArray("get2"));
        QVERIFY(buffer.isEmpty());
        QCOMPARE(CutOneReply(buffer).result, TickResult::Nothing);
    }

    void incompleteReplyWaitsForItsEnd() {
        QByteArray buffer("\x1bpwr");
        QCOMPARE(CutOneReply(buffer).result, TickResult::Nothing);
        QCOMPARE(buffer, QByteArray("\x1bpwr"));
        QVERIFY(TickChangesNothing(buffer));
        buffer.append("1\r");
        QVERIFY(!TickChangesNothing(buffer));
        QCOMPARE(CutOneReply(buffer).reply, QByteArray("pwr1"));
    }

    void bytesWithoutEscapeAreDiscarded() {
        QByteArray buffer("garbage");
        QCOMPARE(CutOneReply(buffer).result, TickResult::Discarded);
        QVERIFY(buffer.isEmpty());
    }

    void emptyAndDamagedFrames() {
        QByteArray empty("\x1b\r");
        const Tick tick = CutOneReply(empty);
        QCOMPARE(tick.result, TickResult::Reply);
        QVERIFY(tick.reply.isEmpty());
        QVERIFY(empty.isEmpty());

        // A second ESC before the CR: cut whole at the first CR, as one reply.
        QByteArray damaged("\x1b"
                           "ab\x1bget1\r\x1bget3\r");
        QCOMPARE(CutOneReply(damaged).reply, QByteArray("ab\x1bget1"));
        QCOMPARE(CutOneReply(damaged).reply, QByteArray("get3"));
    }

    void leadingBytesDoNotBlockLaterReplies() {
        QByteArray buffer("xx\x1bget2\r");
        QCOMPARE(CutOneReply(buffer).result, TickResult::DroppedLeading);
        QCOMPARE(CutOneReply(buffer).reply, QByteArray("get2"));
    }

    void overlongPartialReplyIsDropped() {
        QByteArray buffer = "\x1b" + QByteArray(kMaxPendingReply + 10, 'a');
        QVERIFY(!TickChangesNothing(buffer));
        QCOMPARE(CutOneReply(buffer).result, TickResult::DroppedPartial);
        QVERIFY(buffer.isEmpty());

        QByteArray withLaterStart = "\x1b" + QByteArray(kMaxPendingReply, 'a') + "\x1bget";
        CutOneReply(withLaterStart);
        QCOMPARE(withLaterStart, QByteArray("\x1bget"));

        // A flood of ESC bytes goes in one tick, not one ESC per tick, and the reply that
        // follows it is still read.
        QByteArray flood = QByteArray(kMaxPendingReply + 100, '\x1b') + "\x1bget";
        QCOMPARE(CutOneReply(flood).result, TickResult::DroppedPartial);
        QCOMPARE(flood, QByteArray("\x1bget"));
        QVERIFY(TickChangesNothing(flood));
        flood.append("2\r");
        QCOMPARE(CutOneReply(flood).reply, QByteArray("get2"));

        // What follows the last ESC may itself be over-long: the next tick takes it.
        QByteArray longTail = "\x1b\x1b" + QByteArray(kMaxPendingReply + 10, 'a');
        QCOMPARE(CutOneReply(longTail).result, TickResult::DroppedPartial);
        QCOMPARE(CutOneReply(longTail).result, TickResult::DroppedPartial);
        QVERIFY(longTail.isEmpty());
    }

    void backlogKeepsItsNewestBytes() {
        QByteArray small = "\x1bget1\r" + QByteArray(kMaxBuffered - 6, 'x');
        QCOMPARE(small.size(), kMaxBuffered);
        QVERIFY(!BoundBuffer(small));
        QCOMPARE(small.size(), kMaxBuffered);

        // Junk frames in front of a reply: the front goes, up to a frame start.
        QByteArray junk;
        while (junk.size() < 3 * kMaxBuffered)
            junk += "\x1bzz\r";
        QByteArray backlog = junk + "\x1bget2\r";
        QVERIFY(BoundBuffer(backlog));
        QVERIFY(backlog.size() <= kMaxBuffered);
        QVERIFY(backlog.startsWith('\x1b'));
        QVERIFY(backlog.endsWith("\x1bget2\r"));
        QVERIFY((junk + "\x1bget2\r").endsWith(backlog));

        // No frame start among the newest bytes: nothing worth keeping.
        QByteArray noStart = "\x1b" + QByteArray(2 * kMaxBuffered, 'y');
        QVERIFY(BoundBuffer(noStart));
        QVERIFY(noStart.isEmpty());
    }

    void nulCutsTheAnnouncement() {
        QCOMPARE(KeptBytes(QByteArray("ab\0cd", 5)), QByteArray("ab"));
        QCOMPARE(KeptBytes(QByteArray("\x1bpwr")), QByteArray("\x1bpwr"));
    }

    // The data module's buffer as the port's announcements and the reply timer drive it.
    void receiveBufferTakesAnnouncementsInBlocks() {
        TReceiveBuffer buffer;
        QByteArray queue;
        QList<int> blocks;
        const auto getBlock = [&](char* block, quint16 len) {
            if (queue.size() < len)
                throw EComPortError(QStringLiteral("fewer bytes received"));
            std::copy_n(queue.constData(), len, block);
            queue.remove(0, len);
            blocks.append(len);
        };
        const auto announce = [&](const QByteArray& bytes) {
            queue = bytes;
            buffer.Announce(quint16(bytes.size()), getBlock);
        };

        // A NUL in the second block: every block is taken, what follows the NUL is lost.
        QByteArray first = "\x1bget1\r" + QByteArray(700, 'x');
        first[600] = '\0';
        announce(first);
        QCOMPARE(blocks, (QList<int>{512, 194}));
        QVERIFY(queue.isEmpty());
        QCOMPARE(buffer.Bytes(), first.left(600));
        // The cut holds for its own announcement only.
        announce("\x1bget2\r");
        QCOMPARE(buffer.Bytes(), first.left(600) + "\x1bget2\r");
        QVERIFY(!buffer.TickChangesNothing());
        QCOMPARE(buffer.Tick().reply, QByteArray("get1"));
        QCOMPARE(buffer.Tick().result, TickResult::DroppedLeading);
        QCOMPARE(buffer.Tick().reply, QByteArray("get2"));
        QVERIFY(buffer.TickChangesNothing());

        // Each announcement ends with the bound.
        announce(QByteArray(kMaxBuffered, 'y') + "\x1bget3");
        QCOMPARE(buffer.Bytes(), QByteArray("\x1bget3"));
        QVERIFY(buffer.TickChangesNothing());

        // A block the port cannot give: the error goes on, what was kept stays.
        queue = QByteArray(TReceiveBuffer::kBlockSize, 'z');
        QVERIFY_THROWS_EXCEPTION(EComPortError,
                                 buffer.Announce(2 * TReceiveBuffer::kBlockSize, getBlock));
        QCOMPARE(buffer.Bytes(), "\x1bget3" + QByteArray(TReceiveBuffer::kBlockSize, 'z'));
    }

    void modelAReplies_data() {
        QTest::addColumn<QString>("reply");
        QTest::addColumn<int>("power"); // -1: unchanged
        QTest::addColumn<int>("source");
        QTest::newRow("pwr0") << "pwr0" << int(psPowerOff) << -1;
        QTest::newRow("pwr1") << "pwr1" << int(psPowerOn) << -1;
        QTest::newRow("pwr7 changes nothing") << "pwr7" << -1 << -1;
        QTest::newRow("get2") << "get2" << -1 << 2;
        QTest::newRow("get5 stored unchecked") << "get5" << -1 << 5;
        QTest::newRow("upper case ignored") << "PWR1" << -1 << -1;
        QTest::newRow("too long ignored") << "get12" << -1 << -1;
        QTest::newRow("model B reply ignored") << "X24Qg1" << -1 << -1;
    }
    void modelAReplies() {
        QFETCH(QString, reply);
        QFETCH(int, power);
        QFETCH(int, source);
        const ReplyEffect effect = ParseRsx24p(reply);
        QCOMPARE(effect.power.has_value() ? int(*effect.power) : -1, power);
        QCOMPARE(effect.selectedSource.value_or(-1), source);
    }

    void modelBReplies() {
        QCOMPARE(ParseRsx24q(QStringLiteral("X24Qg3")).selectedSource.value_or(-1), 3);
        QVERIFY(!ParseRsx24q(QStringLiteral("pwr1")).power.has_value());
        QVERIFY(!ParseRsx24q(QStringLiteral("get2")).selectedSource.has_value());
        QVERIFY(!ParseRsx24q(QStringLiteral("X24QG3")).selectedSource.has_value());
    }

    void nonDigitIsAConversionError() {
        try {
            ParseRsx24p(QStringLiteral("pwrX"));
            QFAIL("no conversion error");
        } catch (const EConvertError& e) {
            QCOMPARE(e.Message(),
                     QStringLiteral("'X' は Integer 型の値として有効な整数値ではありません"));
        }
        QVERIFY_THROWS_EXCEPTION(EConvertError, ParseRsx24p(QStringLiteral("get ")));
        QVERIFY_THROWS_EXCEPTION(EConvertError, ParseRsx24q(QStringLiteral("X24Qg?")));
    }
};

QTEST_GUILESS_MAIN(TestReplyFraming)
#include "tst_ReplyFraming.moc"
