#pragma once

#include <QString>

#include <exception>

// The application's top-level error report: an error that escapes a handler is shown in
// an error box owned by the main window; the event loop and all state go on.
namespace ErrorReport {

// The application title: the executable's file name up to its first ".", with every
// character after the first in lower case ("InCycler" gives "Incycler").
QString ApplicationTitle(const QString& executableFileName);

// The box's text: the message, with "." appended when its last character sorts above ".".
QString BoxText(const QString& message);

// Shows one error, titled with the application title.
void Show(const QString& message);

// Runs a handler and reports an error that escapes it, as the application's notify() does.
// Handlers connected to signals run through this (ConnectReported connects them so), so that
// an error never unwinds through Qt's frames between the event and the handler: Qt does not
// support that, and leaks the event's data when it happens.
template <typename Handler> void Run(Handler&& handler) {
    try {
        handler();
    } catch (const std::exception& error) {
        Show(QString::fromUtf8(error.what()));
    } catch (...) {
        Show(QStringLiteral("Unknown error"));
    }
}

} // namespace ErrorReport
