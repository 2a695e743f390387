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
               "       InCycler --rotate --port PORT --model MODEL --inputs LIST --every "
               "INTERVAL\n"
               "                [--between START-END] [--hidden]\n"
               "                                    rotate through the inputs until stopped\n"
               "       InCycler --serve --port PORT --model MODEL [--hidden]\n"
               "                                    hold and serve the port without "
               "rotating\n"
               "       InCycler --status PORT       the state of the InCycler that holds "
               "PORT, as JSON\n"
               "       InCycler --help | --version\n"
               "\n"
               "One command:\n"
               "  PORT     com and exactly two digits: /com03 is COM3\n"
               "  MODEL    rsx24p (RSX-24P) or rsx24q (RSX-24Q)\n"
               "  COMMAND  in1, in2, in3 to select an input; pwr1, pwr0 to switch the power "
               "on or\n"
               "           off (RSX-24P only)\n"
               "  A \"/\" may stand anywhere in an argument, and letters may be of either "
               "case.\n"
               "  When another InCycler (window, --rotate, --serve) holds the port, the command\n"
               "  goes out through it, on its model only (see InCycler(1)).\n"
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
               "Rotation (--opt value or --opt=value):\n"
               "  --port PORT           com05, /com05 or COM5 (any case)\n"
               "  --model MODEL         rsx24p or rsx24q\n"
               "  --inputs LIST         two or three different inputs from 1 to 3: 1,3\n"
               "  --every INTERVAL      5s to 120s, or 1min to 120min\n"
               "  --between START-END   only inside this daily window, HH:MM[:SS]-HH:MM[:SS];"
               "\n"
               "                        it may cross midnight (22:00-06:00); all day without "
               "it\n"
               "  --hidden              start in the tray (with a display)\n"
               "  It opens the port, powers the RSX-24P on and rotates as the window's 開始 "
               "does,\n"
               "  with the window when there is a display, without one otherwise. A port "
               "that\n"
               "  cannot be opened yet is said once and tried again every 5 s. SIGTERM, "
               "SIGINT\n"
               "  or SIGHUP stop it with status 0; refused options end it with status 2 and "
               "one\n"
               "  line on standard error. As a service: incycler-rotate@.service "
               "(InCycler(1)).\n"
               "  --serve takes --port, --model and --hidden and opens the port as --rotate "
               "does,\n"
               "  without pressing 開始: the others (one-shots, --status, incycler-web) steer "
               "it.\n"
               "\n"
               "Status (--status PORT, PORT as for --port): prints the holder's pid, port, "
               "device,\n"
               "  model, power, input, rotation, mode, inputs, interval_ms and window as one "
               "JSON\n"
               "  object; status 1 and a reason when no InCycler holds the port or it "
               "refuses.\n"
               "  The holder serves through /run/incycler/<tty>.sock (INCYCLER_RUN_DIR "
               "instead).\n"
               "\n"
               "Ports: COM1-COM32 are /dev/ttyS0-31, COM33-COM64 /dev/ttyUSB0-31, "
               "COM65-COM96\n"
               "/dev/ttyACM0-31. With INCYCLER_PORT_DIR set, port n is that directory's "
               "entry\n"
               "COM<n> (a link to a tty), and there are no other ports; a directory that "
               "users\n"
               "other than its owner and root may write is refused.\n"
               "\n"
               "Log: %1\n"
               "(one record per command and per failure to open a port; see InCycler(1)).\n")
        .arg(logPath);
}

QString VersionText() {
    return QStringLiteral("InCycler %1\n").arg(QStringLiteral(INCYCLER_VERSION));
}

} // namespace Usage
