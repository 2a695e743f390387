#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>
#include <QStringList>

//   incycler-web --token-file FILE [--listen [ADDRESS:]PORT] [--cert FILE --key FILE]
//
// A refusal is one line that names the option; the program then ends with status 2.
namespace WebOptions {

inline constexpr char DefaultListen[] = "127.0.0.1:8731";

struct TOptions {
    bool ok = false;
    bool help = false;
    bool version = false;
    QString error; // why the arguments were refused, naming the option
    QByteArray token;
    QHostAddress address;
    quint16 port = 0;
    QString certFile; // both or neither: HTTPS only with them
    QString keyFile;
};

// The arguments without the program's name. Reads the token file (and checks the key file)
// on the way: who may read them is part of the options' validity.
TOptions Parse(const QStringList& arguments);

// [ADDRESS:]PORT, "[::]:PORT" for IPv6. False for anything else.
bool ParseListen(const QString& text, QHostAddress* address, quint16* port);

QString HelpText();

} // namespace WebOptions
