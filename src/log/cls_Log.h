#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QString>

// The pure rules of the operation log, kept apart from the file effects so that tests
// can pin them down without a file.
namespace LogRules {

// The file never keeps more lines than this after start-up.
inline constexpr qsizetype MaxLines = 10000;

// A field holding a comma or a double quote is enclosed in double quotes with every inner
// double quote doubled; any other field, empty ones included, is returned unchanged.
QString QuoteField(const QString& field);

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

// The operation log "InCycler.log" beside the executable. Several processes may append to
// the same file; each holds an exclusive flock on it while it appends or trims.
class TLog {
public:
    // The two record types.
    static QString TypeInfo();
    static QString TypeError();

    // Fixes the path, creates the file empty when there is none and trims it to its last
    // MaxLines lines. Throws EFileError when the file cannot be created or read, or is not a
    // regular file. A trim that cannot be written whole (a full disk) leaves the file as it
    // was and says so on standard error.
    void Init();

    // Appends one record. A record that cannot be appended within about two seconds goes
    // to standard error instead; the caller is not told. Throws EFileError only when the
    // file is missing and cannot be created.
    void OutputLogString(const QString& a_Type, const QString& a_Proc, const QString& a_LogValue);

    QString FileFullPath() const { return f_FileFullPath; }
    // The path Init fixes: InCycler.log beside the executable, links resolved.
    static QString DefaultPath();

    // Where later Init calls put the file; an empty path means the executable's directory.
    // For tests that must not write beside the test binary.
    static void SetDirectoryOverride(const QString& directory);

private:
    void TrimLogFile();
    void WriteLogLine(const QString& line);

    QString f_FileFullPath;
};
