#pragma once

#include "common/MyTypes.h"

#include <QByteArray>
#include <QString>

#include <optional>

// Pure rules of the receive path: cutting one reply frame (ESC text CR) out of the
// receive buffer per tick, and what each model's reply means.
namespace ReplyFraming {

constexpr char ESC = '\x1B';
constexpr char CR = '\x0D';

// A partial reply (ESC with no CR yet) longer than this cannot be a real reply: the
// bytes before its last ESC are dropped, or all of them when that is the first, so that
// noise cannot make the buffer grow without bound.
constexpr qsizetype kMaxPendingReply = 4096;

// Replies are a few bytes each and come one per query, so a receive buffer holding more
// than this is a backlog of noise. Cut out at one reply per tick, a fast line could pile
// up noise far quicker than the ticks clear it, and the replies behind it would wait
// for minutes; the oldest bytes are dropped instead.
constexpr qsizetype kMaxBuffered = 4096;

enum class TickResult {
    Nothing,        // nothing to do (empty buffer, or a reply not yet complete)
    Discarded,      // bytes without any ESC were thrown away
    DroppedLeading, // bytes before the first ESC were dropped
    DroppedPartial, // an over-long partial reply was dropped
    Reply,          // one reply was cut out
};

struct Tick {
    TickResult result = TickResult::Nothing;
    QByteArray reply; // the bytes between ESC and CR, for TickResult::Reply
};

// One tick of the reply timer on buffer: at most one reply is cut out.
Tick CutOneReply(QByteArray& buffer);

// Drops the oldest bytes of a buffer longer than kMaxBuffered: what remains is at most
// kMaxBuffered bytes and starts at an ESC (or is empty). Returns whether it dropped any.
bool BoundBuffer(QByteArray& buffer);

// Whether a tick on this buffer would leave it as it is (so the poll may sleep).
bool TickChangesNothing(const QByteArray& buffer);

// The bytes of one announcement that reach the buffer: everything before the first NUL.
QByteArray KeptBytes(const QByteArray& announced);

// The state a reply sets; empty members are left as they are.
struct ReplyEffect {
    std::optional<TPowerState> power;
    std::optional<int> selectedSource;
};

// Model A ("RSX-24P"): "pwr<d>" and "get<d>". Raises EConvertError for a non-digit.
ReplyEffect ParseRsx24p(const QString& reply);
// Model B ("RSX-24Q"): "X24Qg<d>". Raises EConvertError for a non-digit.
ReplyEffect ParseRsx24q(const QString& reply);

// The decimal value of one digit character; raises the conversion error otherwise.
int DigitValue(QChar c);

} // namespace ReplyFraming
