#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

// The head of an HTTP/1.1 request, read by the service itself before Qt HTTP Server sees the
// request: it must know where a request ends (to bound it and its time) and refuse an upgrade
// before the server accepts it. The framing is deliberately narrower than HTTP allows, so that
// it can never disagree with the server's own: no Transfer-Encoding, one Content-Length at
// most, no folded header lines.
namespace HttpHead {

inline constexpr qsizetype MaxHeadBytes = 8192;

struct THead {
    QByteArray method;
    QByteArray target;                            // the path and query as sent
    QList<QPair<QByteArray, QByteArray>> headers; // names in lower case, values trimmed
    qsizetype headBytes = 0;                      // through the empty line
    qint64 contentLength = 0;

    // The value of the first header of that (lower-case) name; empty when there is none.
    QByteArray Value(const QByteArray& name) const;
    bool IsWebSocketUpgrade() const;
};

enum class TStatus { Incomplete, Complete, Malformed, TooLarge };

struct TParse {
    TStatus status = TStatus::Incomplete;
    THead head;
    QString problem; // why it is malformed or too large
};

// The head at the start of bytes.
TParse Parse(const QByteArray& bytes);

} // namespace HttpHead
