#include "Application.h"

#include "ErrorReport.h"

#include <QSessionManager>

#include <exception>

TInCyclerApplication::TInCyclerApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // A message box closing while the main window is hidden must not end the process;
    // only the exit path does.
    setQuitOnLastWindowClosed(false);
    // Nothing is kept between runs, and the autostart entry is what starts the program at
    // login: a session manager that restarted it as well would start a second one on the
    // same port.
    connect(
        this, &QGuiApplication::saveStateRequest, this,
        [](QSessionManager& manager) { manager.setRestartHint(QSessionManager::RestartNever); },
        Qt::DirectConnection);
}

bool TInCyclerApplication::event(QEvent* event) {
    // Qt's own handling would close the windows and end the loop behind the exit path's
    // back, and not at all while the window stays minimised for want of a tray.
    if (event->type() == QEvent::Quit) {
        event->accept();
        emit QuitRequested();
        return true;
    }
    return QApplication::event(event);
}

bool TInCyclerApplication::notify(QObject* receiver, QEvent* event) {
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception& error) {
        ErrorReport::Show(QString::fromUtf8(error.what()));
    } catch (...) {
        ErrorReport::Show(QStringLiteral("Unknown error"));
    }
    return false;
}
