#include "Owners.h"

#include "common/StandardError.h"
#include "control/ControlSocket.h"

#include <QDir>

namespace {

constexpr int kLookMs = 1000;

} // namespace

TOwners::TOwners(QObject* parent) : QObject(parent), m_look(this, kLookMs, false) {
    connect(&m_look, &TWindowTimer::Timer, this, &TOwners::Look);
}

void TOwners::Start() {
    m_look.SetEnabled(true);
    Look();
}

const TOwnerWatch* TOwners::ForDevice(const QString& device) const {
    for (const TOwnerWatch* watch : m_watches)
        if (watch->Believed() && watch->Target().device == device)
            return watch;
    return nullptr;
}

QList<const TOwnerWatch*> TOwners::ForPort(const QString& name) const {
    QList<const TOwnerWatch*> owners;
    for (const TOwnerWatch* watch : m_watches)
        if (watch->Believed() && watch->State().value(QLatin1String("port")).toString() == name)
            owners.append(watch);
    return owners;
}

QList<const TOwnerWatch*> TOwners::Served() const {
    QList<const TOwnerWatch*> served;
    for (const TOwnerWatch* watch : m_watches)
        if (watch->Believed())
            served.append(watch);
    return served;
}

void TOwners::Look() {
    QString problem;
    const QString directory = ControlSocket::Directory(false, &problem);
    if (problem != std::exchange(m_directoryProblem, problem) && !problem.isEmpty())
        SayOnStandardError(QStringLiteral("no owners' sockets to serve: %1").arg(problem));
    if (directory.isEmpty())
        return;
    const QDir dir(directory);
    for (const QString& name :
         dir.entryList({QStringLiteral("*.sock")}, QDir::System | QDir::NoDotAndDotDot)) {
        const QString path = dir.filePath(name);
        if (!m_watches.contains(path))
            Watch(path);
    }
}

void TOwners::Watch(const QString& path) {
    auto* watch = new TOwnerWatch(path, this);
    m_watches.insert(path, watch);
    connect(watch, &TOwnerWatch::Served, this, [this, watch] {
        m_saidEnded.remove(watch->Target().path);
        SayOnStandardError(QStringLiteral("serving %1, held by process %2")
                               .arg(watch->Target().where)
                               .arg(watch->Pid()));
    });
    connect(watch, &TOwnerWatch::StateChanged, this, [this, watch](const QJsonObject& state) {
        emit StateChanged(watch->Target().device, state);
    });
    connect(watch, &TOwnerWatch::Ended, this, [this, watch, path](const QString& why) {
        m_watches.remove(path);
        watch->deleteLater();
        if (watch->Believed()) {
            SayOnStandardError(QStringLiteral("%1 is no longer served").arg(watch->Target().where));
            emit Gone(watch->Target().device,
                      watch->State().value(QLatin1String("port")).toString());
        } else if (!std::exchange(m_saidEnded[path], true)) {
            // One line per socket, not one a second.
            SayOnStandardError(why);
        }
    });
}
