#pragma once

#include "OwnerWatch.h"
#include "common/WindowTimer.h"

#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>

// The owners the service believes, found in the sockets' directory and watched one connection
// each. A socket that appears is tried at the next look (every second), one whose owner went
// away or was not believed at the look after: an owner that serves again is listed again
// within a few seconds.
class TOwners : public QObject {
    Q_OBJECT
public:
    explicit TOwners(QObject* parent = nullptr);

    void Start();
    // The believed owner of a device, or none.
    const TOwnerWatch* ForDevice(const QString& device) const;
    // The believed owners that report the port by this name ("COM5"), each by its own port map.
    QList<const TOwnerWatch*> ForPort(const QString& name) const;
    QList<const TOwnerWatch*> Served() const;

signals:
    void StateChanged(const QString& device, const QJsonObject& state);
    void Gone(const QString& device, const QString& port);

private:
    void Look();
    void Watch(const QString& path);

    TWindowTimer m_look;
    QHash<QString, TOwnerWatch*> m_watches; // by socket path
    QString m_directoryProblem;             // said once until it changes
    QHash<QString, bool> m_saidEnded;       // sockets whose refusal was said once
};
