// incycler-web: the InCyclers of this machine served to the network. A program of its own, on
// QtCore, QtNetwork, Qt HTTP Server and Qt WebSockets alone, so that the code that faces the
// network can neither open a serial port nor share a process with the code that does.

#include "Owners.h"
#include "WebOptions.h"
#include "WebService.h"
#include "app/ExitSignals.h"
#include "common/StandardError.h"

#include <QCoreApplication>
#include <QFile>
#if QT_CONFIG(ssl)
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>
#endif

#include <cstdio>

namespace {

// Exit statuses: 0 ended by a signal, 1 could not serve, 2 refused options.
constexpr int kCannotServe = 1;
constexpr int kRefused = 2;

void Print(const QString& text) {
    const QByteArray bytes = text.toUtf8();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

#if QT_CONFIG(ssl)
// The HTTPS settings from the PEM files; empty, with *error naming the option, when unusable.
std::optional<QSslConfiguration> TlsConfiguration(const WebOptions::TOptions& options,
                                                  QString* error) {
    if (!QSslSocket::supportsSsl()) {
        *error = QStringLiteral("--cert: this system's Qt has no TLS backend");
        return std::nullopt;
    }
    const QList<QSslCertificate> chain = QSslCertificate::fromPath(options.certFile, QSsl::Pem);
    if (chain.isEmpty()) {
        *error = QStringLiteral("--cert: %1 holds no PEM certificate").arg(options.certFile);
        return std::nullopt;
    }
    QFile keyFile(options.keyFile);
    const QByteArray pem = keyFile.open(QIODevice::ReadOnly) ? keyFile.readAll() : QByteArray();
    QSslKey key;
    for (const QSsl::KeyAlgorithm algorithm : {QSsl::Rsa, QSsl::Ec, QSsl::Dsa})
        if (key = QSslKey(pem, algorithm, QSsl::Pem); !key.isNull())
            break;
    if (key.isNull()) {
        *error = QStringLiteral("--key: %1 holds no PEM private key without a passphrase")
                     .arg(options.keyFile);
        return std::nullopt;
    }
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(chain.first());
    configuration.setLocalCertificateChain(chain);
    configuration.setPrivateKey(key);
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return configuration;
}
#endif

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SetStandardErrorName(QStringLiteral("incycler-web"));
    const WebOptions::TOptions options = WebOptions::Parse(app.arguments().mid(1));
    if (!options.ok) {
        SayOnStandardError(options.error);
        return kRefused;
    }
    if (options.help) {
        Print(WebOptions::HelpText());
        return 0;
    }
    if (options.version) {
        Print(QStringLiteral("incycler-web %1\n").arg(QLatin1String(INCYCLER_VERSION)));
        return 0;
    }

    TOwners owners;
    TWebService service(options.token, &owners);
    THttpGate* gate = service.Gate();
    const bool tls = !options.certFile.isEmpty();
    if (tls) {
#if QT_CONFIG(ssl)
        QString error;
        const std::optional<QSslConfiguration> configuration = TlsConfiguration(options, &error);
        if (!configuration) {
            SayOnStandardError(error);
            return kRefused;
        }
        gate->SetTls(*configuration);
#else
        SayOnStandardError(QStringLiteral("--cert: this build has no TLS"));
        return kRefused;
#endif
    }
    const auto where = [&](quint16 port) {
        return options.address.protocol() == QAbstractSocket::IPv6Protocol
                   ? QStringLiteral("[%1]:%2").arg(options.address.toString()).arg(port)
                   : QStringLiteral("%1:%2").arg(options.address.toString()).arg(port);
    };
    if (!gate->listen(options.address, options.port)) {
        SayOnStandardError(QStringLiteral("cannot listen on %1: %2; give another --listen, or end "
                                          "what listens there")
                               .arg(where(options.port), gate->errorString()));
        return kCannotServe;
    }
    service.bind(gate);
    owners.Start();
    TExitSignals exitSignals;
    QObject::connect(&exitSignals, &TExitSignals::ExitRequested, &app,
                     [](int) { QCoreApplication::quit(); });
    SayOnStandardError(QStringLiteral("listening on %1://%2")
                           .arg(tls ? "https" : "http", where(gate->serverPort())));
    const int status = app.exec();
    SayOnStandardError(QStringLiteral("ended"));
    return status;
}
