#pragma once

#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

#include <functional>

// The built program in one-shot mode: a copy in a directory of its own (its log lies beside
// it), run without a display, the caller's event loop serving the virtual switcher meanwhile
// (a blocking wait would starve it).
class TOneShotProgram {
public:
    struct Options {
        QString portDir; // INCYCLER_PORT_DIR
        // Runs once the process has started; may change what the process is given.
        std::function<void(QProcess&)> during;
        std::function<void(QProcessEnvironment&)> environment;
        QString program;  // this copy by default
        QStringList wrap; // a command the run goes through: the program and its arguments follow
    };
    struct Result {
        int exitCode = -1;
        QProcess::ExitStatus exitStatus = QProcess::CrashExit;
        qint64 pid = 0;
        QByteArray standardError;
        QByteArray standardOutput;
    };

    explicit TOneShotProgram(const QString& binary);
    bool Valid() const { return !m_path.isEmpty(); }
    QString Path() const { return m_path; }
    QString LogPath() const { return m_dir.filePath(QStringLiteral("InCycler.log")); }

    // Runs it to its end; false when it did not start or end within a minute.
    bool Run(const QStringList& arguments, const Options& options, Result* result) const;

private:
    QTemporaryDir m_dir;
    QString m_path;
};
