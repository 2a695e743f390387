#pragma once

#include "TestSupport.h"
#include "sim/VirtualSwitcher.h"

#include <QStringList>
#include <QTemporaryDir>

#include <functional>
#include <memory>

class QWidget;
class TFormMain;
class Tmod_IF_ComPort;

// The program as start-up builds it, for in-process tests: a fresh port directory with a
// virtual switcher behind a real pseudo-terminal, the log in a temporary directory, the
// main window (FormCreate run) and the data module. Destroyed in the shutdown order.
class AppRig {
public:
    struct Options {
        VirtualSwitcher::Model model = VirtualSwitcher::Model::A;
        int comNumber = 3;
        bool startSwitcher = true;
        QStringList arguments; // the command line FormCreate sees
        bool show = true;      // show the window as a normal start does
    };

    AppRig();
    explicit AppRig(const Options& options);
    ~AppRig();
    AppRig(const AppRig&) = delete;
    AppRig& operator=(const AppRig&) = delete;

    TFormMain* Form() const { return m_form; }
    Tmod_IF_ComPort* Module() const { return m_module; }
    VirtualSwitcher& Switcher() { return *m_switcher; }
    QString PortDir() const { return m_portDir.path(); }
    QString LogPath() const;
    // The log's lines (without their CR LF).
    QStringList LogLines() const;

    // Picks the port in the port list as the operator would (reload, then select).
    void SelectPort(int comNumber);
    // Presses the port button and waits until the port is open.
    bool OpenPortByButton(int comNumber);

private:
    QTemporaryDir m_portDir;
    QTemporaryDir m_logDir;
    std::unique_ptr<ScopedEnv> m_portEnv;
    std::unique_ptr<VirtualSwitcher> m_switcher;
    TFormMain* m_form = nullptr;
    Tmod_IF_ComPort* m_module = nullptr;
};

// A message box that was recorded instead of shown: the top-level error report (titled
// after the test program) or a box of the switching control (caption "エラー").
struct ShownBox {
    QWidget* owner = nullptr;
    QString caption;
    QString text;
    int logLinesAtShow = -1; // the log's length while the box was up (-1 without a rig)
};

// Every box since the last rig was built, in order.
QList<ShownBox>& ShownBoxes();
// The same, as "caption|text".
QStringList BoxLines();
// Records boxes (the default of every test program) or, for tests on a real display,
// shows them.
void RecordBoxes(bool record);
// Runs while a recorded box is up, as the operator's time with a real box; reset by every
// new rig.
std::function<void()>& WhileBoxIsUp();

// A test main that uses the program's own application object (whose notify() reports
// errors that escape handlers) and records every message box instead of showing it.
int RunAppTest(int argc, char** argv, QObject* testObject);

#define INCYCLER_APP_TEST_MAIN(TestClass)                                                          \
    int main(int argc, char** argv) {                                                              \
        TestClass test;                                                                            \
        return RunAppTest(argc, argv, &test);                                                      \
    }
