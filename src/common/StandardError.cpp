#include "StandardError.h"

#include "PrintableText.h"

#include <QSet>

#include <cstdio>

namespace {
QString& ProgramName() {
    static QString name = QStringLiteral("InCycler");
    return name;
}
} // namespace

void SetStandardErrorName(const QString& programName) {
    ProgramName() = programName;
}

void SayOnStandardError(const QString& text) {
    // The text may carry what other processes wrote (a lock holder's name, an owner's
    // message): nothing of it may steer the operator's terminal.
    const QByteArray line =
        QStringLiteral("%1: %2\n").arg(ProgramName(), PrintableText(text)).toUtf8();
    std::fwrite(line.constData(), 1, line.size(), stderr);
    std::fflush(stderr);
}

void SayOnceOnStandardError(const QString& text) {
    static QSet<QString> said;
    if (said.contains(text))
        return;
    said.insert(text);
    SayOnStandardError(text);
}
