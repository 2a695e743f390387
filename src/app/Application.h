#pragma once

#include <QApplication>

// The application object. Its notify() is where Qt delivers every event, so an error
// that escapes any handler (a click, a timer, a queued call) is caught here, reported,
// and the event loop goes on.
class TInCyclerApplication : public QApplication {
    Q_OBJECT
public:
    TInCyclerApplication(int& argc, char** argv);
    bool notify(QObject* receiver, QEvent* event) override;

signals:
    // The application is asked to quit: on X11 that is the session manager's last word
    // when the session really ends. The process is to end in its ordinary order.
    void QuitRequested();

protected:
    bool event(QEvent* event) override;
};
