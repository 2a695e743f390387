#include "Application.h"

#include "ErrorReport.h"

#include <exception>

TInCyclerApplication::TInCyclerApplication(int& argc, char** argv) : QApplication(argc, argv) {
    // A message box closing while the main window is hidden must not end the process;
    // only the exit path does.
    setQuitOnLastWindowClosed(false);
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
