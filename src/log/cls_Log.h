#pragma once

#include "LogRules.h"

#include <QString>

// The operation log "InCycler.log" beside the executable. Several processes may append to
// the same file; each holds an exclusive flock on it while it appends or trims.
class TLog {
public:
    // The two record types.
    static QString TypeInfo();
    static QString TypeError();

    // Fixes the path, creates the file empty when there is none and trims it to its last
    // MaxLines lines. Throws EFileError when the file cannot be created or read, or is not a
    // regular file. A trim that cannot be written whole (a full disk), or whose lock another
    // process holds for all of about two seconds, leaves the file as it was and says so on
    // standard error.
    void Init();

    // Appends one record. A record whose file stays locked by another process for about two
    // seconds is appended without the lock (said once on standard error); one that cannot be
    // appended at all goes to standard error instead. The caller is not told. A file that
    // has grown past twice MaxLines lines meanwhile (a long outage, other processes
    // appending) is cut back to its last MaxLines, as Init does. Throws EFileError only when
    // the file is missing and cannot be created.
    void OutputLogString(const QString& a_Type, const QString& a_Proc, const QString& a_LogValue);

    QString FileFullPath() const { return f_FileFullPath; }
    // The path Init fixes: InCycler.log beside the executable, links resolved.
    static QString DefaultPath();

    // Where later Init calls put the file; an empty path means the executable's directory.
    // For tests that must not write beside the test binary.
    static void SetDirectoryOverride(const QString& directory);
    // The lines a trim keeps (the running trim comes at twice as many); 0 means the real
    // LogRules::MaxLines. For tests that must see a trim without writing 20000 records.
    static void SetKeptLinesOverride(qsizetype lines);

private:
    void TrimLogFile();
    void WriteLogLine(const QString& line);

    QString f_FileFullPath;
};
