// The one-shot command line's parse on arbitrary argument lists: whatever it is given, an
// accepted command must be one the execution can carry out as written, and a refusal must
// name the argument that failed.

#include "FuzzCheck.h"

#include "cmdline/CmdLineParse.h"

#include <QString>
#include <QStringList>

#include <cstdint>

using namespace CmdLineParse;

namespace {

bool IsDigit(QChar c) {
    return c >= QLatin1Char('0') && c <= QLatin1Char('9');
}

void CheckNormalise(const QString& argument) {
    const QString normal = Normalise(argument);
    FUZZ_CHECK(normal.size() == argument.size() - argument.count(QLatin1Char('/')));
    for (const QChar c : normal) {
        FUZZ_CHECK(c != QLatin1Char('/'));
        FUZZ_CHECK(c < QLatin1Char('A') || c > QLatin1Char('Z'));
    }
    FUZZ_CHECK(Normalise(normal) == normal);
}

// The port number written in two characters: digits, the first of which may be a sign.
int PortNumberOf(const QString& twoChars) {
    const QChar sign = twoChars.at(0);
    const int ones = twoChars.at(1).unicode() - '0';
    if (sign == QLatin1Char('-'))
        return -ones;
    if (sign == QLatin1Char('+'))
        return ones;
    return (sign.unicode() - '0') * 10 + ones;
}

void CheckAccepted(const TResult& result, const QStringList& arguments) {
    const TCmdLineParams& p = result.params;
    FUZZ_CHECK(result.errorText.isEmpty());

    const QString port = Normalise(arguments.at(0));
    FUZZ_CHECK(port.size() == 5 && port.startsWith(QLatin1String("com")));
    const QString number = port.mid(3);
    FUZZ_CHECK(IsDigit(number.at(1)));
    FUZZ_CHECK(IsDigit(number.at(0)) || number.at(0) == QLatin1Char('+') ||
               number.at(0) == QLatin1Char('-'));
    FUZZ_CHECK(p.ComPortNum == PortNumberOf(number));
    FUZZ_CHECK(p.ComPortNum >= -9 && p.ComPortNum <= 99 && p.ComPortNum != -1);

    FUZZ_CHECK(p.ModelStr == Normalise(arguments.at(1)));
    FUZZ_CHECK(p.ModelStr == QLatin1String("rsx24p") || p.ModelStr == QLatin1String("rsx24q"));

    const QString command = Normalise(arguments.at(2));
    if (p.CmdNameStr == QLatin1String("in")) {
        FUZZ_CHECK(command.size() == 3 && command.startsWith(QLatin1String("in")));
        FUZZ_CHECK(p.InputSourceNum >= 0 && p.InputSourceNum <= 9);
        FUZZ_CHECK(command.at(2).unicode() == '0' + p.InputSourceNum);
        FUZZ_CHECK(!p.PowerFlag);
    } else {
        // Only model A switches power, and only 0 and 1 name a power state.
        FUZZ_CHECK(p.CmdNameStr == QLatin1String("pwr"));
        FUZZ_CHECK(p.ModelStr == QLatin1String("rsx24p"));
        FUZZ_CHECK(command == QLatin1String("pwr0") || command == QLatin1String("pwr1"));
        FUZZ_CHECK(p.PowerFlag == (command == QLatin1String("pwr1")));
        FUZZ_CHECK(p.InputSourceNum == 0);
    }
}

void CheckRefused(const TResult& result, const QStringList& arguments) {
    const TCmdLineParams& p = result.params;
    const TCmdLineParams initial;
    FUZZ_CHECK(p.CmdNameStr.isEmpty() && p.InputSourceNum == 0 && !p.PowerFlag);
    if (arguments.size() < 3) {
        FUZZ_CHECK(result.errorText.isEmpty());
        FUZZ_CHECK(p.ComPortNum == initial.ComPortNum && p.ModelStr.isEmpty());
        return;
    }
    const QString port = Normalise(arguments.at(0));
    const bool portShape = port.size() == 5 && port.startsWith(QLatin1String("com"));
    const QString& text = result.errorText;
    if (text == BadPortText()) {
        FUZZ_CHECK(!portShape);
    } else if (text == BadModelText()) {
        FUZZ_CHECK(portShape && p.ModelStr.isEmpty());
    } else if (text == BadCommandText()) {
        FUZZ_CHECK(portShape && !p.ModelStr.isEmpty());
    } else {
        FUZZ_CHECK(text.isEmpty());
    }
    // Whatever was stored before the refusal was read from the arguments.
    if (!p.ModelStr.isEmpty())
        FUZZ_CHECK(p.ModelStr == Normalise(arguments.at(1)));
}

// The input is the argument list as the kernel hands it over: arguments ended by NUL
// bytes, decoded as UTF-8 like the locale's encoding.
QStringList Read(const std::uint8_t* data, size_t size) {
    QStringList arguments;
    if (size == 0)
        return arguments;
    const QByteArray all(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const QByteArray ended = all.endsWith('\0') ? all.chopped(1) : all;
    for (const QByteArray& argument : ended.split('\0'))
        arguments.append(QString::fromUtf8(argument));
    return arguments;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const QStringList arguments = Read(data, size);
    for (const QString& argument : arguments)
        CheckNormalise(argument);

    const TResult result = Parse(arguments);
    if (result.ok)
        CheckAccepted(result, arguments);
    else
        CheckRefused(result, arguments);

    // Only the first three arguments count, and they count as normalised.
    QStringList normalised;
    for (const QString& argument : arguments.mid(0, 3))
        normalised.append(Normalise(argument));
    const TResult again = Parse(normalised);
    FUZZ_CHECK(again.ok == result.ok && again.errorText == result.errorText);
    FUZZ_CHECK(again.params.ComPortNum == result.params.ComPortNum);
    FUZZ_CHECK(again.params.ModelStr == result.params.ModelStr);
    FUZZ_CHECK(again.params.CmdNameStr == result.params.CmdNameStr);
    FUZZ_CHECK(again.params.InputSourceNum == result.params.InputSourceNum);
    FUZZ_CHECK(again.params.PowerFlag == result.params.PowerFlag);
    return 0;
}
