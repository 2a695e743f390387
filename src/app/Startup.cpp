#include "Startup.h"

#include "Application.h"
#include "ConnectReported.h"
#include "ErrorReport.h"
#include "ExitSignals.h"
#include "ServiceNotify.h"
#include "Translations.h"
#include "Usage.h"
#include "cmdline/CmdLineParse.h"
#include "cmdline/OwnerClient.h"
#include "cmdline/ProgramOptions.h"
#include "common/Platform.h"
#include "common/StandardError.h"
#include "control/ControlServer.h"
#include "device/dm_IF_ComPort.h"
#include "log/cls_Log.h"
#include "ui/form_Main.h"

#include <QDir>
#include <QLocale>
#include <QScreen>
#include <QSystemTrayIcon>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>

namespace {

bool EnvSet(const char* name) {
    return !qEnvironmentVariableIsEmpty(name);
}

void CentreOnScreen(QWidget* window) {
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        window->move(area.center() - QPoint(window->width() / 2, window->height() / 2));
    }
}

void SayOnStandardOutput(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

QtMessageHandler g_qtHandler = nullptr;
// While the application object tries the platforms of our own fallback list: that one of
// them cannot be used is expected, and what it means is said in our own words afterwards.
bool g_probingPlatforms = false;

// Qt's own notes pass through, but for two that are expected where scheduled runs live:
// under cron or a systemd service there is no runtime directory, and Qt says so at every
// start; with a display that cannot be reached, the platforms tried before offscreen fail.
// Neither changes what the program does, and cron would mail both.
void PassQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (type == QtWarningMsg &&
        message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR not set")))
        return;
    if (g_probingPlatforms && context.category != nullptr &&
        std::strncmp(context.category, "qt.qpa.", 7) == 0)
        return;
    g_qtHandler(type, context, message);
}

// Whether Qt could load a Wayland platform plugin from any of its plugin directories.
bool WaylandPluginInstalled() {
    for (const QString& directory : QCoreApplication::libraryPaths()) {
        if (!QDir(directory + QStringLiteral("/platforms"))
                 .entryList({QStringLiteral("libqwayland*.so")}, QDir::Files)
                 .isEmpty())
            return true;
    }
    return false;
}

// A one-shot run that a signal stopped says so: its status alone (128 + the signal) is easy
// to miss in a cron mail or a journal.
int Told(int status, bool commandLineRun) {
    if (commandLineRun && status > 128)
        SayOnStandardError(QStringLiteral("ended by signal %1 (%2) before the command was "
                                          "sent; nothing was sent")
                               .arg(status - 128)
                               .arg(QString::fromLocal8Bit(::strsignal(status - 128))));
    return status;
}

// Shutdown in its order, then the status the process ends with.
int ShutDown(TFormMain* form) {
    const int status = form->ExitStatus();
    ShutdownInCycler();
    return status;
}

} // namespace

int RunInCycler(int argc, char** argv) {
    // The arguments are the program's own. Qt would take out, and act on, any of them that
    // looks like one of its options (-platform, -reverse, -session ...), so it gets none:
    // the platform is chosen through the environment.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));
    static int qtArgc = 1;
    static char* qtArgv[] = {argv[0], nullptr};

    // The option form is refused or accepted whole before anything is opened or recorded.
    const bool optionForm = ProgramOptions::IsOptionForm(arguments);
    TRotateParams rotate;
    if (optionForm) {
        const ProgramOptions::TResult parsed = ProgramOptions::Parse(arguments);
        if (parsed.help) {
            SayOnStandardOutput(Usage::HelpText(TLog::DefaultPath()));
            return 0;
        }
        if (!parsed.ok) {
            SayOnStandardError(parsed.error + QStringLiteral(" (see InCycler --help)"));
            return 2;
        }
        if (parsed.form == ProgramOptions::TForm::Status) {
            // A question to the port's owner: no window, no log, no port of its own.
            QCoreApplication core(qtArgc, qtArgv);
            return OwnerClient::PrintStatus(parsed.statusPort);
        }
        rotate = parsed.rotate;
    }

    switch (Usage::Requested(arguments)) {
    case Usage::TRequest::Help:
        SayOnStandardOutput(Usage::HelpText(TLog::DefaultPath()));
        return 0;
    case Usage::TRequest::Version:
        SayOnStandardOutput(Usage::VersionText());
        return 0;
    case Usage::TRequest::None:
        break;
    }

    g_qtHandler = qInstallMessageHandler(PassQtMessage);
    // Without a session bus, libdbus would start one for the X display on first use and
    // leave it running after the process has ended, once per scheduled run. Nothing here
    // needs a bus that nobody else is on.
    if (qEnvironmentVariableIsEmpty("DBUS_SESSION_BUS_ADDRESS"))
        qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");

    // A log that cannot take a record must not kill the process (SIGXFSZ under a file-size
    // limit): the append fails and is retried and reported as the log's rules say.
    std::signal(SIGXFSZ, SIG_IGN);

    const bool explicitPlatform = EnvSet("QT_QPA_PLATFORM");
    const bool commandLineRun = !optionForm && arguments.size() >= 3;
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

    g_probingPlatforms = !explicitPlatform;
    TInCyclerApplication app(qtArgc, qtArgv);
    g_probingPlatforms = false;
    // Docks and task bars match the window to its desktop entry by this name.
    QGuiApplication::setDesktopFileName(QStringLiteral("incycler"));
    const QString platform = QGuiApplication::platformName();
    // Nobody can see a window or answer a dialog on these, whoever chose them.
    const bool headless =
        platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
    Platform::SetHeadless(headless);
    if (headless && !explicitPlatform && !commandLineRun && !optionForm) {
        if (EnvSet("WAYLAND_DISPLAY") && !EnvSet("DISPLAY") && !WaylandPluginInstalled())
            SayOnStandardError(QStringLiteral(
                "WAYLAND_DISPLAY is set, but Qt's Wayland platform plugin is not installed "
                "(Debian package qt6-wayland); the window cannot be shown"));
        else
            SayOnStandardError(QStringLiteral("no display can be reached (DISPLAY and "
                                              "WAYLAND_DISPLAY); the window cannot be shown"));
        return 2;
    }

    // The window's language, chosen once, before any of its texts is made. A one-shot run
    // whose command line is accepted shows none of them and does not load them.
    if (!commandLineRun || !CmdLineParse::Parse(arguments).ok)
        Translations::Install(Translations::Choose(QLocale::system().uiLanguages()));

    TExitSignals exitSignals;
    auto* form = new TFormMain;
    form->SetArguments(optionForm ? QStringList() : arguments);
    if (optionForm)
        form->SetRotateParams(rotate);
    ConnectExitRequests(app, exitSignals, form);
    const QString createError = StartInCycler(form);
    // Only what lasts is watched; a one-shot run ends long before any watchdog would bite.
    if (!form->OneShotRun())
        ServiceNotify::StartWatchdog(form);

    if (headless && !createError.isEmpty()) {
        // Nobody sees an error box here, and a one-shot run cannot record its outcome: the
        // line on standard error is the whole account.
        if (commandLineRun) {
            SayOnStandardError(
                QStringLiteral("cannot use the log: %1; nothing was sent").arg(createError));
            ShutDown(form);
            return 2;
        }
        SayOnStandardError(QStringLiteral("cannot use the log: %1").arg(createError));
    }
    // Asked to end during start-up (a signal handled inside the log's trim), or a command
    // line that ends the process by itself: before the window would be shown.
    if (form->DoExit())
        return Told(ShutDown(form), commandLineRun);
    if (headless && commandLineRun && form->ShowAtStart()) {
        // The command line was refused, and nobody could use the window instead.
        SayOnStandardError(QStringLiteral("the command-line arguments were refused (see "
                                          "InCycler.log) and no display can be reached"));
        ShutDown(form);
        return 2;
    }
    if (form->ShowAtStart() || (optionForm && !headless && !rotate.Hidden)) {
        CentreOnScreen(form);
        form->show();
    } else if (optionForm && !headless && !QSystemTrayIcon::isSystemTrayAvailable()) {
        // Started hidden, as if its window had been closed: without a notification area
        // that leaves it minimised, where the operator can still find it.
        CentreOnScreen(form);
        form->showMinimized();
    }
    const int status = app.exec();
    ShutdownInCycler();
    return Told(status, commandLineRun);
}

void ConnectExitRequests(TInCyclerApplication& app, TExitSignals& exitSignals, TFormMain* form) {
    ConnectReported(&exitSignals, &TExitSignals::ExitRequested, form, &TFormMain::RequestExit);
    // Not at the session manager's request to save: that also comes for a checkpoint and
    // for a log-off that is then cancelled, and the session goes on after both. With
    // nothing to save the request is answered at once, and the log-off is never vetoed.
    // The process ends when the session really does.
    ConnectReported(&app, &TInCyclerApplication::QuitRequested, form,
                    [form] { form->RequestExit(); });
}

QString StartInCycler(TFormMain* form) {
    QString error;
    try {
        form->FormCreate();
    } catch (const std::exception& e) {
        error = QString::fromUtf8(e.what());
        if (!Platform::Headless())
            ErrorReport::Show(error);
    }
    new Tmod_IF_ComPort;
    // The window and a rotation serve the other InCyclers on their port; a one-shot run holds
    // it too briefly to be worth asking.
    if (!form->OneShotRun())
        new TControlServer(mod_IF_ComPort->ApdComPort1);
    return error;
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
