#include "StandardError.h"

#include "PrintableText.h"

#include <cstdio>

void SayOnStandardError(const QString& text) {
    // The text may carry what other processes wrote (a lock holder's name, an owner's
    // message): nothing of it may steer the operator's terminal.
    const QByteArray line = QStringLiteral("InCycler: %1\n").arg(PrintableText(text)).toUtf8();
    std::fwrite(line.constData(), 1, line.size(), stderr);
    std::fflush(stderr);
}
