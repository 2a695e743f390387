#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

// Sets an environment variable for the life of the object and restores it afterwards.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const QByteArray& value);
    ~ScopedEnv();
    ScopedEnv(const ScopedEnv&) = delete;
    ScopedEnv& operator=(const ScopedEnv&) = delete;

private:
    const char* m_name;
    bool m_had;
    QByteArray m_old;
};

// CPU time this process has used so far, all its threads, in milliseconds.
double ProcessCpuMs();

// The whole content of a file, or an empty array when it cannot be read.
QByteArray ReadWholeFile(const QString& path);

// InCycler's own lines on standard error, apart from what Qt says about the platform
// (no runtime directory, no tray on the offscreen platform, and the like).
QList<QByteArray> OwnLines(const QByteArray& standardError);
