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
};
