#include "HttpHead.h"

namespace HttpHead {

namespace {

TParse Failed(TStatus status, const QString& problem) {
    TParse parse;
    parse.status = status;
    parse.problem = problem;
    return parse;
}

bool IsToken(const QByteArray& text) {
    if (text.isEmpty())
        return false;
    for (char c : text)
        if (c <= ' ' || c >= 127 || QByteArray("()<>@,;:\\\"/[]?={}").contains(c))
            return false;
    return true;
}

bool HasToken(const QByteArray& list, const char* token) {
    for (const QByteArray& item : list.split(','))
        if (item.trimmed().compare(token, Qt::CaseInsensitive) == 0)
            return true;
    return false;
}

} // namespace

QByteArray THead::Value(const QByteArray& name) const {
    for (const auto& [key, value] : headers)
        if (key == name)
            return value;
    return {};
}

bool THead::IsWebSocketUpgrade() const {
    return HasToken(Value("upgrade"), "websocket") && HasToken(Value("connection"), "upgrade");
}

TParse Parse(const QByteArray& bytes) {
    // Lines end in CR LF; a bare LF is taken as the parser of the server takes it.
    qsizetype end = -1;
    qsizetype emptyLineEnd = 0;
    for (qsizetype from = 0; from < bytes.size() && from <= MaxHeadBytes;) {
        const qsizetype lf = bytes.indexOf('\n', from);
        if (lf < 0)
            break;
        const qsizetype length = lf - from - (lf > from && bytes[lf - 1] == '\r' ? 1 : 0);
        if (length == 0 && from > 0) {
            end = from;
            emptyLineEnd = lf + 1;
            break;
        }
        from = lf + 1;
    }
    if (end < 0)
        return bytes.size() > MaxHeadBytes
                   ? Failed(TStatus::TooLarge,
                            QStringLiteral("the request's head is over %1 bytes").arg(MaxHeadBytes))
                   : TParse{};
    if (emptyLineEnd > MaxHeadBytes)
        return Failed(TStatus::TooLarge,
                      QStringLiteral("the request's head is over %1 bytes").arg(MaxHeadBytes));

    TParse parse;
    THead& head = parse.head;
    head.headBytes = emptyLineEnd;
    // Up to the line end before the empty line.
    QList<QByteArray> lines = bytes.left(end - 1).split('\n');
    for (QByteArray& line : lines)
        if (line.endsWith('\r'))
            line.chop(1);
    const QList<QByteArray> start = lines.takeFirst().split(' ');
    if (start.size() != 3 || !IsToken(start[0]) || !start[1].startsWith('/') ||
        (start[2] != "HTTP/1.1" && start[2] != "HTTP/1.0"))
        return Failed(TStatus::Malformed, QStringLiteral("not an HTTP/1.1 request line"));
    head.method = start[0];
    head.target = start[1];
    bool lengthSeen = false;
    for (const QByteArray& line : lines) {
        const qsizetype colon = line.indexOf(':');
        if (line.startsWith(' ') || line.startsWith('\t') || colon <= 0 ||
            !IsToken(line.left(colon)))
            return Failed(TStatus::Malformed, QStringLiteral("a header line that is not one"));
        const QByteArray name = line.left(colon).toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "transfer-encoding")
            return Failed(TStatus::Malformed,
                          QStringLiteral("a body is sent whole, with Content-Length"));
        if (name == "content-length") {
            bool ok = false;
            const qint64 length = value.toLongLong(&ok);
            if (lengthSeen || !ok || length < 0 || value.startsWith('+'))
                return Failed(TStatus::Malformed,
                              QStringLiteral("Content-Length is not one number"));
            lengthSeen = true;
            head.contentLength = length;
        }
        head.headers.append({name, value});
    }
    parse.status = TStatus::Complete;
    return parse;
}

} // namespace HttpHead
