#include "ReplyFraming.h"

#include "common/Errors.h"

#include <QCoreApplication>

namespace ReplyFraming {

Tick CutOneReply(QByteArray& buffer) {
    const qsizetype e = buffer.indexOf(ESC);
    if (e < 0) {
        if (buffer.isEmpty())
            return {};
        buffer.clear();
        return {TickResult::Discarded, {}};
    }
    if (e > 0) {
        // Leading bytes would otherwise block every later reply for good.
        buffer.remove(0, e);
        return {TickResult::DroppedLeading, {}};
    }
    const qsizetype c = buffer.indexOf(CR);
    if (c < 0) {
        if (buffer.size() <= kMaxPendingReply)
            return {};
        // Until a CR comes, everything before the last ESC can only end up in one damaged
        // reply; dropping it all at once keeps a flood of ESC bytes from outrunning the
        // timer, which would go one ESC per tick.
        const qsizetype lastEsc = buffer.lastIndexOf(ESC);
        if (lastEsc == 0)
            buffer.clear();
        else
            buffer.remove(0, lastEsc);
        return {TickResult::DroppedPartial, {}};
    }
    Tick tick{TickResult::Reply, buffer.mid(1, c - 1)};
    buffer.remove(0, c + 1);
    return tick;
}

bool BoundBuffer(QByteArray& buffer) {
    if (buffer.size() <= kMaxBuffered)
        return false;
    // Keep the newest bytes, from the first frame start among them.
    const qsizetype start = buffer.indexOf(ESC, buffer.size() - kMaxBuffered);
    if (start < 0)
        buffer.clear();
    else
        buffer.remove(0, start);
    return true;
}

bool TickChangesNothing(const QByteArray& buffer) {
    if (buffer.isEmpty())
        return true;
    return buffer.front() == ESC && !buffer.contains(CR) && buffer.size() <= kMaxPendingReply;
}

QByteArray KeptBytes(const QByteArray& announced) {
    const qsizetype nul = announced.indexOf('\0');
    return nul < 0 ? announced : announced.left(nul);
}

int DigitValue(QChar c) {
    if (c >= QLatin1Char('0') && c <= QLatin1Char('9'))
        return c.unicode() - '0';
    throw EConvertError(QCoreApplication::translate(
                            "EConvertError", "'%1' は %2 型の値として有効な整数値ではありません")
                            .arg(QString(c), QStringLiteral("Integer")));
}

ReplyEffect ParseRsx24p(const QString& reply) {
    ReplyEffect effect;
    if (reply.size() != 4)
        return effect;
    const QStringView head = QStringView(reply).left(3);
    if (head == QLatin1String("pwr")) {
        const int value = DigitValue(reply.at(3));
        if (value == 0)
            effect.power = psPowerOff;
        else if (value == 1)
            effect.power = psPowerOn;
    } else if (head == QLatin1String("get")) {
        effect.selectedSource = DigitValue(reply.at(3));
    }
    return effect;
}

ReplyEffect ParseRsx24q(const QString& reply) {
    ReplyEffect effect;
    if (reply.size() != 6)
        return effect;
    if (QStringView(reply).left(4) == QLatin1String("X24Q") && reply.at(4) == QLatin1Char('g'))
        effect.selectedSource = DigitValue(reply.at(5));
    return effect;
}

} // namespace ReplyFraming
