#pragma once

#include <QObject>

// Turns SIGTERM, SIGINT and SIGHUP into a call on the GUI thread, so that they end the
// process through its ordinary exit path. The call carries the signal's number: a one-shot
// run that a signal stopped before its command went out ends with 128 + that number.
class TExitSignals : public QObject {
    Q_OBJECT
public:
    explicit TExitSignals(QObject* parent = nullptr);
    ~TExitSignals() override;

signals:
    void ExitRequested(int signal);

private:
    int m_fds[2] = {-1, -1};
};
