#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

class QObject;

// The pure rules of the operation log, kept apart from the file effects so that tests
// can pin them down without a file.
namespace LogRules {

// The file never keeps more lines than this after start-up.
inline constexpr qsizetype MaxLines = 10000;

// A field holding a comma or a double quote is enclosed in double quotes with every inner
// double quote doubled; any other field, empty ones included, is returned unchanged.
QString QuoteField(const QString& field);

// A record's procedure field: the class name of the writing object, "_" and the name of
// the writing function ("TFormMain_btn_StartClick" from TFormMain::btn_StartClick, given
// __func__), so that no writer's name is typed by hand.
QString ProcName(const QObject* writer, const char* function);

// One record (without its line end): date, time with milliseconds, process id, type,
// procedure and text, all from the single moment given, whatever the user's locale.
QString FormatRecord(const QDateTime& moment, qint64 pid, const QString& type, const QString& proc,
                     const QString& text);

// The lines of a file's content, split at CR LF, lone CR and lone LF; a break at the very
// end adds no empty line. The views point into content, which must outlive them.
QList<QByteArrayView> SplitLines(QByteArrayView content);

// The lines again, each followed by CR LF: the form a rewritten file takes. Lines are kept
// byte for byte, also where they are not valid text; only their line ends change.
QByteArray JoinWithCrLf(QByteArrayView content);

// Follows content fed in pieces, by the same rules as SplitLines, and remembers where the
// last `keep` lines begin. Lets the trim find what to keep in a long file without holding
// the file in memory.
class TLineScanner {
public:
    explicit TLineScanner(qsizetype keep = MaxLines);

    void Feed(QByteArrayView piece);

    // The lines in all that has been fed.
    qint64 Lines() const { return m_lines; }
    // The offset at which the last `keep` lines begin: 0 while there are no more than that.
    qint64 KeptStart() const;

private:
    qsizetype m_keep;
    QList<qint64> m_starts; // ring of the last m_keep line starts
    qint64 m_offset = 0;
    qint64 m_lines = 0;
    bool m_atLineStart = true;
    bool m_afterCr = false;
};

} // namespace LogRules
