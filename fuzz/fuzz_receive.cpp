// The receive path on arbitrary bytes: announcements of any size and content reach the
// receive buffer, timer ticks cut replies out of it one at a time, and the current model's
// parser reads them. It runs the data module's own receive buffer and parsers, with the
// port's queue played by the input, so that no port and no window are needed; what it adds
// is the checks.

#include "FuzzCheck.h"
#include "FuzzPieces.h"

#include "common/Errors.h"
#include "device/ModelState.h"
#include "device/ReceiveBuffer.h"
#include "device/ReplyFraming.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <algorithm>
#include <cstdint>
#include <limits>

using namespace ReplyFraming;

namespace {

struct Receiver {
    TReceiveBuffer buffer;
    TModelState model;
    bool modelB = false;
    // Every byte that reached the buffer, and how many of them have left it since: the
    // buffer must always be the rest. Checked without copying the buffer, which would make
    // every tick cost a copy of it.
    QByteArray stream;
    qsizetype taken = 0;

    QByteArrayView Rest() const { return QByteArrayView(stream).sliced(taken); }
};

// One announcement of the port, its queue holding exactly the announced bytes. What is
// kept must be what comes before the first NUL, however the blocks cut the announcement.
void Announce(Receiver& rx, const QByteArray& announced) {
    const QByteArray kept = KeptBytes(announced);
    FUZZ_CHECK(announced.startsWith(kept));
    FUZZ_CHECK(!kept.contains('\0'));
    FUZZ_CHECK(kept.size() == announced.size() || announced.at(kept.size()) == '\0');

    qsizetype read = 0;
    rx.buffer.Announce(static_cast<quint16>(announced.size()), [&](char* block, quint16 len) {
        // The port hands out only what it announced.
        FUZZ_CHECK(len > 0 && len <= announced.size() - read);
        std::copy_n(announced.constData() + read, len, block);
        read += len;
    });
    FUZZ_CHECK(read == announced.size());

    // Then the buffer is bounded, dropping only its oldest bytes.
    const qsizetype before = rx.Rest().size() + kept.size();
    rx.stream.append(kept);
    const QByteArray& buffer = rx.buffer.Bytes();
    const qsizetype dropped = before - buffer.size();
    FUZZ_CHECK(dropped >= 0 && rx.Rest().sliced(dropped) == QByteArrayView(buffer));
    FUZZ_CHECK(buffer.size() <= kMaxBuffered);
    FUZZ_CHECK(dropped == 0 || before > kMaxBuffered);
    FUZZ_CHECK(dropped == 0 || buffer.isEmpty() || buffer.front() == ESC);
    rx.taken += dropped;
}

void CheckEffect(const ReplyEffect& effect, const QString& reply, bool modelB) {
    if (effect.power) {
        FUZZ_CHECK(!modelB);
        FUZZ_CHECK(reply == QLatin1String("pwr0") || reply == QLatin1String("pwr1"));
        FUZZ_CHECK(*effect.power == (reply.at(3) == QLatin1Char('1') ? psPowerOn : psPowerOff));
    }
    if (effect.selectedSource) {
        const int value = *effect.selectedSource;
        FUZZ_CHECK(value >= 0 && value <= 9);
        FUZZ_CHECK(reply.back().unicode() == '0' + value);
        FUZZ_CHECK(modelB ? reply.startsWith(QLatin1String("X24Qg")) && reply.size() == 6
                          : reply.startsWith(QLatin1String("get")) && reply.size() == 4);
    }
}

// What the reply analysis does with one reply: the model's parser, then the stores. A
// conversion error leaves the model as it was.
void Analyze(Receiver& rx, const QByteArray& bytes) {
    const QString reply = QString::fromLatin1(bytes);
    const TModelState before = rx.model;
    ReplyEffect effect;
    try {
        effect = rx.modelB ? ParseRsx24q(reply) : ParseRsx24p(reply);
    } catch (const EConvertError&) {
        FUZZ_CHECK(rx.model.PowerState() == before.PowerState());
        FUZZ_CHECK(rx.model.SelectedSourceNum() == before.SelectedSourceNum());
        return;
    }
    CheckEffect(effect, reply, rx.modelB);
    rx.model.Apply(effect);
}

// One tick of the reply timer, with what each outcome promises about the buffer.
TickResult OneTick(Receiver& rx) {
    const QByteArrayView before = rx.Rest();
    const bool idle = rx.buffer.TickChangesNothing();
    const Tick tick = rx.buffer.Tick();
    const QByteArray& buffer = rx.buffer.Bytes();

    // A tick only ever takes bytes off the front, and takes some unless it is idle.
    const qsizetype removed = before.size() - buffer.size();
    FUZZ_CHECK(removed >= 0 && before.sliced(removed) == QByteArrayView(buffer));
    rx.taken += removed;
    const QByteArrayView after = before.sliced(removed);
    FUZZ_CHECK(idle == (tick.result == TickResult::Nothing));
    FUZZ_CHECK(idle == (removed == 0));
    switch (tick.result) {
    case TickResult::Nothing:
        FUZZ_CHECK(before.isEmpty() || (before.front() == ESC && !before.contains(CR) &&
                                        before.size() <= kMaxPendingReply));
        break;
    case TickResult::Discarded:
        FUZZ_CHECK(!before.contains(ESC) && after.isEmpty());
        break;
    case TickResult::DroppedLeading:
        FUZZ_CHECK(before.front() != ESC && after.front() == ESC);
        FUZZ_CHECK(before.indexOf(ESC) == removed);
        break;
    case TickResult::DroppedPartial:
        FUZZ_CHECK(before.front() == ESC && !before.contains(CR));
        FUZZ_CHECK(before.size() > kMaxPendingReply);
        FUZZ_CHECK(after.isEmpty() || after.front() == ESC);
        break;
    case TickResult::Reply:
        FUZZ_CHECK(before.front() == ESC && !tick.reply.contains(CR));
        FUZZ_CHECK(removed == tick.reply.size() + 2);
        FUZZ_CHECK(before.sliced(1, tick.reply.size()) == QByteArrayView(tick.reply));
        FUZZ_CHECK(before.at(removed - 1) == CR);
        Analyze(rx, tick.reply);
        break;
    }
    return tick.result;
}

// Ticks until a tick would change nothing: the buffer then holds at most an incomplete
// reply within the cap. Without new bytes, an over-long partial reply must be gone within
// two ticks, or a flood of ESC bytes could outrun the timer.
void Drain(Receiver& rx) {
    const qsizetype start = rx.buffer.Bytes().size();
    qsizetype ticks = 0;
    int droppedInARow = 0;
    while (!rx.buffer.TickChangesNothing()) {
        const TickResult result = OneTick(rx);
        droppedInARow = result == TickResult::DroppedPartial ? droppedInARow + 1 : 0;
        FUZZ_CHECK(droppedInARow <= 2);
        FUZZ_CHECK(++ticks <= start);
    }
    const QByteArray& buffer = rx.buffer.Bytes();
    FUZZ_CHECK(buffer.size() <= kMaxPendingReply);
    FUZZ_CHECK(buffer.isEmpty() || buffer.front() == ESC);
    FUZZ_CHECK(!buffer.contains(CR));
}

QByteArray Frame(const QByteArray& text) {
    return ESC + text + CR;
}

// The input: a settings byte (bit 0 model B, bits 1 to 4 the digit of the valid replies
// sent after the noise, bit 5 their power state), a byte that seeds the announcement sizes,
// a repeat byte (from 0x80 on, the noise is sent many times, to reach the cap on partial
// replies with short inputs), then the noise itself.
// Enough to exceed the cap on partial replies several times over.
constexpr qsizetype kMaxNoise = 5 * kMaxPendingReply;

struct Input {
    bool modelB = false;
    int digit = 0;
    bool powerOn = false;
    std::uint8_t cuts = 0;
    QByteArray noise;
};

Input Read(const std::uint8_t* data, size_t size) {
    auto at = [&](size_t i) -> std::uint8_t { return i < size ? data[i] : 0; };
    Input input;
    input.modelB = (at(0) & 1) != 0;
    input.digit = ((at(0) >> 1) & 0x0F) % 10;
    input.powerOn = (at(0) & 0x20) != 0;
    input.cuts = at(1);
    const int times = at(2) < 0x80 ? 1 : (at(2) - 0x7F) * 40;
    const size_t header = 3;
    if (size > header) {
        const QByteArray once(reinterpret_cast<const char*>(data + header),
                              static_cast<qsizetype>(size - header));
        input.noise = once.repeated(qMin<qsizetype>(times, kMaxNoise / once.size() + 1));
    }
    return input;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const Input input = Read(data, size);
    Receiver rx;
    rx.modelB = input.modelB;

    // Noise: announcements of varied sizes with a few ticks after each, as the timer
    // happens to find them; up to any count an announcement can carry, beyond the port's
    // own queue.
    TFuzzPieces pieces(input.cuts, std::numeric_limits<quint16>::max());
    for (qsizetype at = 0; at < input.noise.size();) {
        const qsizetype piece = qMin<qsizetype>(pieces.NextSize(), input.noise.size() - at);
        Announce(rx, input.noise.mid(at, piece));
        at += piece;
        for (int ticks = pieces.Below(5); ticks > 0; --ticks)
            OneTick(rx);
    }
    Drain(rx);

    // Then the device answers properly. A partial reply left by the noise swallows the
    // first frame (cut whole at its CR, as a damaged reply); the ones after it count.
    rx.model.SetSelectedSourceNum(-1);
    rx.model.SetPowerState(psNone);
    const QByteArray digitText = QByteArray::number(input.digit);
    const QByteArray sourceReply = Frame((rx.modelB ? "X24Qg" : "get") + digitText);
    Announce(rx, sourceReply + sourceReply);
    if (!rx.modelB)
        Announce(rx, Frame(input.powerOn ? "pwr1" : "pwr0"));
    Drain(rx);
    FUZZ_CHECK(rx.buffer.Bytes().isEmpty());
    FUZZ_CHECK(rx.model.SelectedSourceNum() == input.digit);
    FUZZ_CHECK(rx.model.PowerState() ==
               (rx.modelB ? psNone : (input.powerOn ? psPowerOn : psPowerOff)));
    return 0;
}
