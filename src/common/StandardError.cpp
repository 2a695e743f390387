#include "StandardError.h"

#include <cstdio>

void SayOnStandardError(const QString& text) {
    const QByteArray line = QStringLiteral("InCycler: %1\n").arg(text).toUtf8();
    std::fwrite(line.constData(), 1, line.size(), stderr);
    std::fflush(stderr);
}
