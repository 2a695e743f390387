#include "Startup.h"

#include "Application.h"
#include "ErrorReport.h"
#include "ExitSignals.h"
#include "common/Platform.h"
#include "device/dm_IF_ComPort.h"
#include "ui/form_Main.h"

#include <QScreen>

#include <cstdio>
#include <cstring>
#include <exception>

namespace {

bool ArgumentsNamePlatform(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0 || std::strncmp(argv[i], "-platform=", 10) == 0)
            return true;
    }
    return false;
}

// Arguments of our own: Qt's "-platform name" pair is not one of them.
int OwnArgumentCount(int argc, char** argv) {
    int count = 0;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "-platform") == 0) {
            ++i;
            continue;
        }
        ++count;
    }
    return count;
}

bool EnvSet(const char* name) {
    return !qEnvironmentVariableIsEmpty(name);
}

void CentreOnScreen(QWidget* window) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
}

} // namespace

int RunInCycler(int argc, char** argv) {
    const bool explicitPlatform = EnvSet("QT_QPA_PLATFORM") || ArgumentsNamePlatform(argc, argv);
    const bool commandLineRun = OwnArgumentCount(argc, argv) >= 3;
    if (!explicitPlatform) {
        // Fall back to offscreen rather than abort in the platform plugin: a display that
        // is set but cannot be reached is then noticed below, like one that is not set.
        if (EnvSet("WAYLAND_DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "wayland;xcb;offscreen");
        else if (EnvSet("DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "xcb;offscreen");
        else
            qputenv("QT_QPA_PLATFORM", "offscreen");
    }

    TInCyclerApplication app(argc, argv);
    const bool headless =
        !explicitPlatform && QGuiApplication::platformName() == QLatin1String("offscreen");
    Platform::SetHeadless(headless);
    if (headless && !commandLineRun) {
        std::fprintf(stderr, "InCycler: no display can be reached (DISPLAY and WAYLAND_DISPLAY); "
                             "the window cannot be shown\n");
        return 2;
    }

    TExitSignals exitSignals;
    auto* form = new TFormMain;
    ConnectExitRequests(app, exitSignals, form);
    StartInCycler(form);

    if (headless && form->ShowAtStart()) {
        // The command line was refused, and without a display a normal start is impossible.
        std::fprintf(stderr, "InCycler: the command-line arguments were refused (see InCycler.log) "
                             "and no display can be reached\n");
        ShutdownInCycler();
        return 2;
    }
    if (form->ShowAtStart()) {
        CentreOnScreen(form);
        form->show();
    }
    const int status = app.exec();
    ShutdownInCycler();
    return status;
}

void ConnectExitRequests(TInCyclerApplication& app, TExitSignals& exitSignals, TFormMain* form) {
    QObject::connect(&exitSignals, &TExitSignals::ExitRequested, form, &TFormMain::RequestExit);
    // Not at the session manager's request to save: that also comes for a checkpoint and
    // for a log-off that is then cancelled, and the session goes on after both. With
    // nothing to save the request is answered at once, and the log-off is never vetoed.
    // The process ends when the session really does.
    QObject::connect(&app, &TInCyclerApplication::QuitRequested, form, &TFormMain::RequestExit);
}

void StartInCycler(TFormMain* form) {
    try {
        form->FormCreate();
    } catch (const std::exception& error) {
        ErrorReport::Show(QString::fromUtf8(error.what()));
    }
    new Tmod_IF_ComPort;
}

void ShutdownInCycler() {
    const auto popups = QApplication::topLevelWidgets();
    for (QWidget* w : popups) {
        if (w != FormMain && w->isVisible())
            w->hide();
    }
    if (FormMain != nullptr)
        FormMain->MarkDestroying();
    if (mod_IF_ComPort != nullptr)
        mod_IF_ComPort->MarkDestroying();
    delete mod_IF_ComPort;
    delete FormMain;
}
