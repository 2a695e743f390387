#include "WebOptions.h"

#include <QCommandLineParser>
#include <QFile>

#include <cctype>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace WebOptions {

namespace {

constexpr qsizetype kMinTokenLength = 16;
constexpr qsizetype kMaxFileBytes = 1 << 16;

// A file only its owner may read or write, opened without following a link or blocking on a
// FIFO; empty with *why set otherwise.
QByteArray ReadPrivateFile(const QString& path, QString* why) {
    const int fd = ::open(QFile::encodeName(path).constData(),
                          O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
        return {};
    }
    QByteArray content;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *why = QStringLiteral("%1 is not a regular file").arg(path);
    } else if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        *why = QStringLiteral("%1 may be read or written by others (mode %2); chmod 600 it")
                   .arg(path)
                   .arg(st.st_mode & 07777, 4, 8, QLatin1Char('0'));
    } else if (st.st_size > kMaxFileBytes) {
        *why = QStringLiteral("%1 is too large").arg(path);
    } else {
        content.resize(qsizetype(st.st_size));
        const ssize_t n = ::read(fd, content.data(), size_t(content.size()));
        content.resize(n < 0 ? 0 : qsizetype(n));
        if (n < 0)
            *why = QStringLiteral("%1: %2").arg(path, QString::fromLocal8Bit(std::strerror(errno)));
    }
    ::close(fd);
    return why->isEmpty() ? content : QByteArray();
}

// The token's characters: those of a base64 or hex secret, which a header and a cookie carry
// as they are.
bool TokenCharacters(const QByteArray& token) {
    for (char c : token)
        if (!std::isalnum(uchar(c)) && !QByteArray("-._~+/=").contains(c))
            return false;
    return true;
}

QString Token(const QString& path, QByteArray* token) {
    QString why;
    const QByteArray content = ReadPrivateFile(path, &why);
    if (!why.isEmpty())
        return QStringLiteral("--token-file: %1").arg(why);
    QByteArray line =
        content.left(content.indexOf('\n') < 0 ? content.size() : content.indexOf('\n'));
    if (line.endsWith('\r'))
        line.chop(1);
    if (line.isEmpty())
        return QStringLiteral("--token-file: %1 holds no token on its first line").arg(path);
    if (line.size() < kMinTokenLength || !TokenCharacters(line))
        return QStringLiteral("--token-file: the token in %1 must be one line of at least %2 "
                              "letters, digits or -._~+/= (openssl rand -hex 32 makes one)")
            .arg(path)
            .arg(kMinTokenLength);
    *token = line;
    return {};
}

TOptions Refused(const QString& error) {
    TOptions options;
    options.error = error;
    return options;
}

} // namespace

bool ParseListen(const QString& text, QHostAddress* address, quint16* port) {
    QString host = QStringLiteral("127.0.0.1");
    QString portText = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1String("]:"));
        if (close < 0)
            return false;
        host = text.mid(1, close - 1);
        portText = text.mid(close + 2);
        if (!host.contains(QLatin1Char(':')))
            return false;
    } else if (const qsizetype colon = text.lastIndexOf(QLatin1Char(':')); colon >= 0) {
        host = text.left(colon);
        portText = text.mid(colon + 1);
        if (host.contains(QLatin1Char(':')))
            return false; // an IPv6 address goes in brackets
    }
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number > 65535 || portText.startsWith(QLatin1Char('+')))
        return false;
    QHostAddress parsed;
    if (!parsed.setAddress(host) || !parsed.scopeId().isEmpty())
        return false;
    *address = parsed;
    *port = quint16(number);
    return true;
}

TOptions Parse(const QStringList& arguments) {
    QCommandLineParser parser;
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption tokenFile(QStringLiteral("token-file"), QString(),
                                       QStringLiteral("FILE"));
    const QCommandLineOption listen(QStringLiteral("listen"), QString(),
                                    QStringLiteral("ADDRESS:PORT"));
    const QCommandLineOption cert(QStringLiteral("cert"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption key(QStringLiteral("key"), QString(), QStringLiteral("FILE"));
    const QCommandLineOption help(QStringLiteral("help"));
    const QCommandLineOption version(QStringLiteral("version"));
    parser.addOptions({tokenFile, listen, cert, key, help, version});
    if (!parser.parse(QStringList{QStringLiteral("incycler-web")} + arguments))
        return Refused(parser.errorText());
    TOptions options;
    if (parser.isSet(help) || parser.isSet(version)) {
        options.ok = true;
        options.help = parser.isSet(help);
        options.version = !options.help;
        return options;
    }
    if (!parser.positionalArguments().isEmpty())
        return Refused(QStringLiteral("'%1' is not an option; see --help")
                           .arg(parser.positionalArguments().first()));
    for (const QCommandLineOption* option : {&tokenFile, &listen, &cert, &key})
        if (parser.values(*option).size() > 1)
            return Refused(
                QStringLiteral("--%1 is given more than once").arg(option->names().first()));
    if (!parser.isSet(tokenFile))
        return Refused(QStringLiteral("--token-file FILE is required: the token every client "
                                      "must show (openssl rand -hex 32 > FILE; chmod 600 FILE)"));
    if (const QString problem = Token(parser.value(tokenFile), &options.token); !problem.isEmpty())
        return Refused(problem);
    const QString listenText =
        parser.isSet(listen) ? parser.value(listen) : QString::fromLatin1(DefaultListen);
    if (!ParseListen(listenText, &options.address, &options.port))
        return Refused(QStringLiteral("--listen: '%1' is not allowed; give [ADDRESS:]PORT "
                                      "(8731, 127.0.0.1:8731, 0.0.0.0:8731, [::]:8731)")
                           .arg(listenText));
    if (parser.isSet(cert) != parser.isSet(key))
        return Refused(parser.isSet(cert) ? QStringLiteral("--cert needs --key FILE as well")
                                          : QStringLiteral("--key needs --cert FILE as well"));
    if (parser.isSet(key)) {
        QString why;
        ReadPrivateFile(parser.value(key), &why);
        if (!why.isEmpty())
            return Refused(QStringLiteral("--key: %1").arg(why));
        options.certFile = parser.value(cert);
        options.keyFile = parser.value(key);
    }
    options.ok = true;
    return options;
}

QString HelpText() {
    return QStringLiteral(
               "Usage: incycler-web --token-file FILE [--listen [ADDRESS:]PORT] [--cert FILE --key "
               "FILE]\n"
               "\n"
               "Serves the InCyclers of this machine to the network: HTTP with JSON, and WebSocket "
               "for\n"
               "the live state. It never opens a serial port: it talks to the InCycler that holds "
               "each\n"
               "port (a window, InCycler --rotate or InCycler --serve) through that owner's "
               "socket.\n"
               "\n"
               "  --token-file FILE   the token every client must show, on the first line of FILE "
               "(at\n"
               "                      least 16 characters; only FILE's owner may read or write "
               "it):\n"
               "                      \"Authorization: Bearer TOKEN\", the cookie of POST /login, "
               "or\n"
               "                      ?token=TOKEN on the events URL. Required, on loopback too.\n"
               "  --listen [ADDRESS:]PORT  where to listen (default %1); 0.0.0.0:PORT or "
               "[::]:PORT\n"
               "                      opens it to the network.\n"
               "  --cert FILE --key FILE  PEM certificate (chain) and private key: HTTPS only.\n"
               "  --help, --version\n"
               "\n"
               "  GET  /                             the page for a browser (no token needed)\n"
               "  GET  /api/ports                    the ports an InCycler serves now\n"
               "  GET  /api/ports/COM5               {\"ok\":true,\"state\":{...}}\n"
               "  POST /api/ports/COM5/input         {\"input\":2}\n"
               "  POST /api/ports/COM5/power         {\"on\":false}\n"
               "  POST /api/ports/COM5/rotation      "
               "{\"running\":true,\"inputs\":[1,3],\"every\":\"30s\"}\n"
               "  GET  /api/ports/COM5/events        WebSocket: the state at once and on every "
               "change\n"
               "  POST /login                        {\"token\":\"...\"}: sets the cookie\n"
               "\n"
               "Errors: 400 request, 401 token, 403 another site's Origin, 404 no owner, 409 "
               "model, 503\n"
               "not sent or busy; the body says why. Wrong options end with status 2.\n"
               "See incycler-web(1) and /usr/share/doc/incycler/WEB-API.md.\n")
        .arg(QLatin1String(DefaultListen));
}

} // namespace WebOptions
