#pragma once

#include <QObject>

// Turns SIGTERM, SIGINT and SIGHUP into a call on the GUI thread, so that they end the
// process through its ordinary exit path.
class TExitSignals : public QObject {
    Q_OBJECT
public:
    explicit TExitSignals(QObject* parent = nullptr);
    ~TExitSignals() override;

signals:
    void ExitRequested();

private:
    int m_fds[2] = {-1, -1};
};
