#include "LogRules.h"

#include <QLocale>
#include <QObject>
#include <QStringList>

namespace {

// A byte above CR is neither CR nor LF: the scanner skips those in a tight loop, and leaves
// CR, LF and the few other control bytes below them to its careful path.
bool AboveCr(char byte) {
    return static_cast<unsigned char>(byte) > '\r';
}

} // namespace

namespace LogRules {

QString QuoteField(const QString& field) {
    if (!field.contains(u',') && !field.contains(u'"'))
        return field;
    QString quoted = field;
    quoted.replace(u'"', QStringLiteral("\"\""));
    return u'"' + quoted + u'"';
}

QString ProcName(const QObject* writer, const char* function) {
    return QLatin1String(writer->metaObject()->className()) + u'_' + QLatin1String(function);
}

QString FormatRecord(const QDateTime& moment, qint64 pid, const QString& type, const QString& proc,
                     const QString& text) {
    // The C locale keeps the digits and separators fixed whatever the user's settings.
    const QLocale c = QLocale::c();
    const QStringList fields{
        QuoteField(c.toString(moment, QStringLiteral("yyyy/MM/dd"))),
        QuoteField(c.toString(moment, QStringLiteral("H:mm:ss.zzz"))),
        QString::number(pid),
        QuoteField(type),
        QuoteField(proc),
        QuoteField(text),
    };
    return fields.join(u',');
}

QList<QByteArrayView> SplitLines(QByteArrayView content) {
    QList<QByteArrayView> lines;
    const char* const data = content.data();
    const qsizetype size = content.size();
    qsizetype start = 0;
    qsizetype i = 0;
    while (i < size) {
        const char ch = data[i];
        if (ch != '\r' && ch != '\n') {
            ++i;
            continue;
        }
        lines.append(content.sliced(start, i - start));
        if (ch == '\r' && i + 1 < size && data[i + 1] == '\n')
            ++i;
        ++i;
        start = i;
    }
    if (start < size)
        lines.append(content.sliced(start));
    return lines;
}

QByteArray JoinWithCrLf(QByteArrayView content) {
    const QList<QByteArrayView> lines = SplitLines(content);
    qsizetype total = 0;
    for (const QByteArrayView line : lines)
        total += line.size() + 2;
    QByteArray joined;
    joined.reserve(total);
    for (const QByteArrayView line : lines) {
        joined.append(line);
        joined.append("\r\n", 2);
    }
    return joined;
}

TLineScanner::TLineScanner(qsizetype keep) : m_keep(qMax<qsizetype>(keep, 0)) {
    m_starts.resize(m_keep);
}

void TLineScanner::Feed(QByteArrayView piece) {
    // Locals rather than members in the loop: stores through a char pointer could alias
    // them and force a reload on every byte.
    const char* const data = piece.data();
    const qsizetype size = piece.size();
    bool atLineStart = m_atLineStart;
    bool afterCr = m_afterCr;
    qint64 lines = m_lines;
    qsizetype i = 0;
    while (i < size) {
        if (!afterCr && !atLineStart) {
            while (i < size && AboveCr(data[i]))
                ++i;
            if (i == size)
                break;
        }
        const char ch = data[i];
        if (afterCr) {
            afterCr = false;
            if (ch == '\n') {
                ++i; // the second half of a CR LF
                continue;
            }
        }
        if (atLineStart) {
            if (m_keep > 0)
                m_starts[lines % m_keep] = m_offset + i;
            ++lines;
            atLineStart = false;
        }
        if (ch == '\r') {
            afterCr = true;
            atLineStart = true;
        } else if (ch == '\n') {
            atLineStart = true;
        }
        ++i;
    }
    m_atLineStart = atLineStart;
    m_afterCr = afterCr;
    m_lines = lines;
    m_offset += size;
}

qint64 TLineScanner::KeptStart() const {
    if (m_lines <= m_keep)
        return 0;
    if (m_keep == 0)
        return m_offset;
    return m_starts[(m_lines - m_keep) % m_keep];
}

} // namespace LogRules
