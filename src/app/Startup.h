#pragma once

#include <QString>

// The whole life of the process: platform choice, start-up in its order, the message
// loop, and shutdown in its order. Returns the process's exit status.
int RunInCycler(int argc, char** argv);

class TExitSignals;
class TFormMain;
class TInCyclerApplication;

// The ends of the process besides the tray's exit entry and the end of a command-line run:
// SIGTERM, SIGINT or SIGHUP, and the end of the desktop session. Each takes the exit path.
void ConnectExitRequests(TInCyclerApplication& app, TExitSignals& exitSignals, TFormMain* form);

// Start-up between the main window's construction and the message loop: FormCreate, whose
// error is shown by the top-level report (where there is a display to show it on) and does
// not stop the start-up, then the data module. Returns FormCreate's error, or nothing.
QString StartInCycler(TFormMain* form);

// Shutdown after the message loop: marks both long-lived objects as being destroyed
// (timer handlers then do nothing), destroys the data module (closing an open port
// without sending anything), then the main window.
void ShutdownInCycler();
