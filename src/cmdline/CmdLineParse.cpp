#include "CmdLineParse.h"

#include <optional>

namespace CmdLineParse {

namespace {

bool IsAsciiDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

// A decimal integer with an optional sign and nothing else: no spaces, no base prefix.
std::optional<int> DecimalInteger(const QString& text) {
    qsizetype i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == QLatin1Char('+') || text[i] == QLatin1Char('-'))) {
        negative = text[i] == QLatin1Char('-');
        ++i;
    }
    if (i == text.size())
        return std::nullopt;
    int value = 0;
    for (; i < text.size(); ++i) {
        if (!IsAsciiDigit(text[i]))
            return std::nullopt;
        value = value * 10 + (text[i].unicode() - '0');
    }
    return negative ? -value : value;
}

TResult Refuse(const TCmdLineParams& params, const QString& errorText = QString()) {
    return TResult{false, params, errorText};
}

} // namespace

QString BadPortText() {
    return QStringLiteral("（引数）第一引数不正");
}
QString BadModelText() {
    return QStringLiteral("（引数）第二引数不正");
}
QString BadCommandText() {
    return QStringLiteral("（引数）第三引数不正");
}

QString Normalise(const QString& argument) {
    QString result;
    result.reserve(argument.size());
    for (QChar c : argument) {
        if (c == QLatin1Char('/'))
            continue;
        if (c >= QLatin1Char('A') && c <= QLatin1Char('Z'))
            c = QChar(c.unicode() + ('a' - 'A'));
        result.append(c);
    }
    return result;
}

TResult Parse(const QStringList& arguments) {
    TCmdLineParams params;
    if (arguments.size() < 3)
        return Refuse(params);
    const QString port = Normalise(arguments[0]);
    const QString model = Normalise(arguments[1]);
    const QString command = Normalise(arguments[2]);

    if (port.size() != 5 || !port.startsWith(QLatin1String("com")))
        return Refuse(params, BadPortText());
    // -1 doubles as "no number" and is refused like one, without a record.
    const std::optional<int> portNum = DecimalInteger(port.mid(3, 2));
    if (!portNum || *portNum == -1)
        return Refuse(params);
    params.ComPortNum = *portNum;

    if (model != QLatin1String("rsx24p") && model != QLatin1String("rsx24q"))
        return Refuse(params, BadModelText());
    params.ModelStr = model;

    if (command.size() == 3 && command.startsWith(QLatin1String("in"))) {
        if (!IsAsciiDigit(command[2]))
            return Refuse(params);
        // No range test: the device gets the number as it is written.
        params.InputSourceNum = command[2].unicode() - '0';
        params.CmdNameStr = QStringLiteral("in");
        return TResult{true, params, QString()};
    }
    if (command.size() == 4 && command.startsWith(QLatin1String("pwr"))) {
        if (!IsAsciiDigit(command[3]))
            return Refuse(params);
        // Model B has no power commands, and a digit other than 0 or 1 names no power
        // state: running either would send something the operator did not ask for.
        const QChar digit = command[3];
        if (model == QLatin1String("rsx24q")) {
            TResult refused = Refuse(params, BadCommandText());
            refused.endsProcess = true;
            return refused;
        }
        if (digit != QLatin1Char('0') && digit != QLatin1Char('1'))
            return Refuse(params, BadCommandText());
        params.PowerFlag = digit == QLatin1Char('1');
        params.CmdNameStr = QStringLiteral("pwr");
        return TResult{true, params, QString()};
    }
    return Refuse(params, BadCommandText());
}

} // namespace CmdLineParse
