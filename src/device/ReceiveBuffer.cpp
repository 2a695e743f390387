#include "ReceiveBuffer.h"

#include <algorithm>

void TReceiveBuffer::Announce(quint16 count, const TGetBlock& getBlock) {
    bool cut = false;
    char block[kBlockSize];
    for (int taken = 0; taken < count;) {
        const quint16 len = static_cast<quint16>(std::min<int>(kBlockSize, count - taken));
        getBlock(block, len);
        taken += len;
        if (cut)
            continue;
        const QByteArray kept = ReplyFraming::KeptBytes(QByteArray(block, len));
        m_bytes.append(kept);
        cut = kept.size() < len;
    }
    ReplyFraming::BoundBuffer(m_bytes);
}

ReplyFraming::Tick TReceiveBuffer::Tick() {
    return ReplyFraming::CutOneReply(m_bytes);
}

bool TReceiveBuffer::TickChangesNothing() const {
    return ReplyFraming::TickChangesNothing(m_bytes);
}
