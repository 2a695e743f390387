#include "OneShotProgram.h"

#include <QSignalSpy>
#include <QTest>

namespace {
// Generous: a loaded machine may take seconds to start a Qt program.
constexpr int kRunTimeoutMs = 60000;
} // namespace

TOneShotProgram::TOneShotProgram(const QString& binary) {
    // A copy, not a link: the log goes beside the executable with links resolved.
    const QString path = m_dir.filePath(QStringLiteral("InCycler"));
    if (m_dir.isValid() && QFile::copy(binary, path))
        m_path = path;
}

bool TOneShotProgram::Run(const QStringList& arguments, const Options& options,
                          Result* result) const {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    // No display, and not the offscreen platform ctest gives the tests: the program must find
    // out by itself that it has no display.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    env.insert(QStringLiteral("INCYCLER_PORT_DIR"), options.portDir);
    if (options.environment)
        options.environment(env);
    process.setProcessEnvironment(env);
    QSignalSpy finished(&process, &QProcess::finished);
    const QString program = options.program.isEmpty() ? m_path : options.program;
    if (options.wrap.isEmpty())
        process.start(program, arguments);
    else
        process.start(options.wrap.first(), options.wrap.mid(1) + QStringList{program} + arguments);
    if (!process.waitForStarted(kRunTimeoutMs))
        return false;
    result->pid = process.processId();
    if (options.during)
        options.during(process);
    if (!QTest::qWaitFor([&] { return !finished.isEmpty(); }, kRunTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return false;
    }
    result->exitCode = process.exitCode();
    result->exitStatus = process.exitStatus();
    result->standardError = process.readAllStandardError();
    result->standardOutput = process.readAllStandardOutput();
    return true;
}
