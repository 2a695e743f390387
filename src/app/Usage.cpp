#include "Usage.h"

namespace Usage {

TRequest Requested(const QStringList& arguments) {
    if (arguments.size() != 1)
        return TRequest::None;
    const QString& argument = arguments.first();
    if (argument == QLatin1String("--help") || argument == QLatin1String("-h"))
        return TRequest::Help;
    if (argument == QLatin1String("--version") || argument == QLatin1String("-V"))
        return TRequest::Version;
    return TRequest::None;
}

QString HelpText(const QString& logPath) {
    return QStringLiteral(
               "Usage: InCycler                     open the window (needs a display)\n"
               "       InCycler PORT MODEL COMMAND  send one command and exit (no display "
               "needed)\n"
               "       InCycler --help | --version\n"
               "\n"
               "  PORT     com and exactly two digits: /com03 is COM3\n"
               "  MODEL    rsx24p (RSX-24P) or rsx24q (RSX-24Q)\n"
               "  COMMAND  in1, in2, in3 to select an input; pwr1, pwr0 to switch the power "
               "on or\n"
               "           off (RSX-24P only)\n"
               "  A \"/\" may stand anywhere in an argument, and letters may be of either "
               "case.\n"
               "\n"
               "Exit status of a command:\n"
               "  0      the command left the port (InCycler does not wait for the switcher's "
               "answer)\n"
               "  1      the port could not be opened, or the command did not leave it "
               "within 1 s\n"
               "  2      the arguments were refused and there is no display to start the "
               "window on;\n"
               "         pwr with the RSX-24Q; or the log cannot be used\n"
               "  128+N  ended by signal N before the command was sent; nothing was sent\n"
               "\n"
               "Ports: COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, "
               "COM65-COM96\n"
               "/dev/ttyACM0-31. With INCYCLER_PORT_DIR set, port n is that directory's "
               "entry\n"
               "COM<n> (a link to a tty), and there are no other ports.\n"
               "\n"
               "Log: %1\n"
               "(one record per command and per failure to open a port; see InCycler(1)).\n")
        .arg(logPath);
}

QString VersionText() {
    return QStringLiteral("InCycler %1\n").arg(QStringLiteral(INCYCLER_VERSION));
}

} // namespace Usage
