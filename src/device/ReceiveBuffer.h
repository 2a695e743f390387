#pragma once

#include "ReplyFraming.h"

#include <QByteArray>
#include <QtGlobal>

#include <functional>

// The receive buffer and its cut: what the data module does with an announcement of the
// serial port and with a tick of its reply timer, without the port or the timer, so that
// tests and the fuzzer run the same code on bytes of their own.
class TReceiveBuffer {
public:
    // An announcement is taken from the port in blocks of at most this many bytes.
    static constexpr quint16 kBlockSize = 512;

    // Takes one block of len bytes off the port's receive queue (the port's GetBlock).
    using TGetBlock = std::function<void(char* block, quint16 len)>;

    // One announcement of count received bytes: every one of them is taken, in blocks; a
    // NUL byte ends what is kept, and it and the rest of this announcement are consumed and
    // lost. Then the buffer is bounded to its newest bytes. An error of getBlock leaves
    // what was kept before it in the buffer, unbounded, and goes on to the caller.
    void Announce(quint16 count, const TGetBlock& getBlock);

    // One tick of the reply timer: at most one reply is cut out.
    ReplyFraming::Tick Tick();

    // Whether a tick would leave the buffer as it is (so the poll may sleep).
    bool TickChangesNothing() const;

    // The bytes received and not yet cut out as a reply.
    const QByteArray& Bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
};
