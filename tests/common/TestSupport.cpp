#include "TestSupport.h"

#include <QFile>

#include <ctime>

ScopedEnv::ScopedEnv(const char* name, const QByteArray& value)
    : m_name(name), m_had(qEnvironmentVariableIsSet(name)), m_old(qgetenv(name)) {
    qputenv(name, value);
}

ScopedEnv::~ScopedEnv() {
    if (m_had)
        qputenv(m_name, m_old);
    else
        qunsetenv(m_name);
}

double ProcessCpuMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1e3 + double(ts.tv_nsec) / 1e6;
}

QByteArray ReadWholeFile(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

QList<QByteArray> OwnLines(const QByteArray& standardError) {
    QList<QByteArray> own;
    for (const QByteArray& line : standardError.split('\n')) {
        if (line.startsWith("InCycler:"))
            own.append(line);
    }
    return own;
}
