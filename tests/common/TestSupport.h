#pragma once

#include <QByteArray>
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

// The whole content of a file, or an empty array when it cannot be read.
QByteArray ReadWholeFile(const QString& path);
