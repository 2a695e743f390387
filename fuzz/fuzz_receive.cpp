// The receive path on arbitrary bytes: announcements of any size and content reach the
// receive buffer, timer ticks cut replies out of it one at a time, and the current model's
// parser reads them. The loop follows the data module's handlers step for step, on the
// pure rules they call, so that no port and no window are needed.

#include "FuzzCheck.h"
#include "FuzzPieces.h"

#include "common/Errors.h"
#include "device/ReplyFraming.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <cstdint>
#include <memory>

using namespace ReplyFraming;

namespace {

struct Receiver {
    std::unique_ptr<TModel> model;
    bool modelB = false;
    QByteArray buffer;
    // Every byte that reached the buffer, and how many of them ticks have taken: the buffer
    // must always be the rest. Checked without copying the buffer, which would make every
    // tick cost a copy of it.
    QByteArray stream;
    qsizetype taken = 0;
};

// What the announcement handler keeps. It reads the announcement in blocks but stops
// keeping at the first NUL of any block, which keeps the same bytes as this.
void Announce(Receiver& rx, const QByteArray& announced) {
    const QByteArray kept = KeptBytes(announced);
    FUZZ_CHECK(announced.startsWith(kept));
    FUZZ_CHECK(!kept.contains('\0'));
    FUZZ_CHECK(kept.size() == announced.size() || announced.at(kept.size()) == '\0');
    rx.buffer.append(kept);
    rx.stream.append(kept);
    // The handler then bounds the buffer, dropping only its oldest bytes.
    const qsizetype before = rx.buffer.size();
    const bool dropped = BoundBuffer(rx.buffer);
    FUZZ_CHECK(dropped == (rx.buffer.size() < before));
    FUZZ_CHECK(rx.buffer.size() <= kMaxBuffered);
    FUZZ_CHECK(!dropped || rx.buffer.isEmpty() || rx.buffer.front() == '\x1b');
    rx.taken += before - rx.buffer.size();
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
    const TPowerState power = rx.model->PowerState();
    const int source = rx.model->SelectedSourceNum();
    ReplyEffect effect;
    try {
        effect = rx.modelB ? ParseRsx24q(reply) : ParseRsx24p(reply);
    } catch (const EConvertError&) {
        FUZZ_CHECK(rx.model->PowerState() == power);
        FUZZ_CHECK(rx.model->SelectedSourceNum() == source);
        return;
    }
    CheckEffect(effect, reply, rx.modelB);
    if (effect.power)
        rx.model->SetPowerState(*effect.power);
    if (effect.selectedSource)
        rx.model->SetSelectedSourceNum(*effect.selectedSource);
}

// One tick of the reply timer, with what each outcome promises about the buffer.
TickResult OneTick(Receiver& rx) {
    const QByteArrayView before = QByteArrayView(rx.stream).sliced(rx.taken);
    const bool idle = TickChangesNothing(rx.buffer);
    const Tick tick = CutOneReply(rx.buffer);

    // A tick only ever takes bytes off the front, and takes some unless it is idle.
    const qsizetype removed = before.size() - rx.buffer.size();
    FUZZ_CHECK(removed >= 0 && before.sliced(removed) == QByteArrayView(rx.buffer));
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
    const qsizetype start = rx.buffer.size();
    qsizetype ticks = 0;
    int droppedInARow = 0;
    while (!TickChangesNothing(rx.buffer)) {
        const TickResult result = OneTick(rx);
        droppedInARow = result == TickResult::DroppedPartial ? droppedInARow + 1 : 0;
        FUZZ_CHECK(droppedInARow <= 2);
        FUZZ_CHECK(++ticks <= start);
    }
    FUZZ_CHECK(rx.buffer.size() <= kMaxPendingReply);
    FUZZ_CHECK(rx.buffer.isEmpty() || rx.buffer.front() == ESC);
    FUZZ_CHECK(!rx.buffer.contains(CR));
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
    rx.model =
        rx.modelB ? std::unique_ptr<TModel>(new TRsx24q) : std::unique_ptr<TModel>(new TRsx24p);

    // Noise: announcements of varied sizes with a few ticks after each, as the timer
    // happens to find them.
    TFuzzPieces pieces(input.cuts, TApdComPort::ReceiveQueueSize);
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
    rx.model->SetSelectedSourceNum(-1);
    rx.model->SetPowerState(psNone);
    const QByteArray digitText = QByteArray::number(input.digit);
    const QByteArray sourceReply = Frame((rx.modelB ? "X24Qg" : "get") + digitText);
    Announce(rx, sourceReply + sourceReply);
    if (!rx.modelB)
        Announce(rx, Frame(input.powerOn ? "pwr1" : "pwr0"));
    Drain(rx);
    FUZZ_CHECK(rx.buffer.isEmpty());
    FUZZ_CHECK(rx.model->SelectedSourceNum() == input.digit);
    FUZZ_CHECK(rx.model->PowerState() ==
               (rx.modelB ? psNone : (input.powerOn ? psPowerOn : psPowerOff)));
    return 0;
}
