#include "ProgramOptions.h"

#include "CmdLineParse.h"

#include <QCommandLineParser>

#include <algorithm>
#include <tuple>

namespace ProgramOptions {

namespace {

const QString kRotate = QStringLiteral("rotate");
const QString kServe = QStringLiteral("serve");
const QString kPort = QStringLiteral("port");
const QString kModel = QStringLiteral("model");
const QString kInputs = QStringLiteral("inputs");
const QString kEvery = QStringLiteral("every");
const QString kBetween = QStringLiteral("between");
const QString kHidden = QStringLiteral("hidden");
const QString kHelp = QStringLiteral("help");
const QString kStatus = QStringLiteral("status");

// What each option with a value takes, in the words of the refusals.
QString Allowed(const QString& option) {
    if (option == kPort || option == kStatus)
        return QStringLiteral("a port: COM5, com05 or /com05");
    if (option == kModel)
        return QStringLiteral("rsx24p or rsx24q");
    if (option == kInputs)
        return QStringLiteral(
            "two or three different inputs from 1 to 3, separated by commas (1,3)");
    if (option == kEvery)
        return QStringLiteral("5s to 120s, or 1min to 120min");
    if (option == kBetween)
        return QStringLiteral("START-END as HH:MM or HH:MM:SS (08:00-17:00, 22:00:00-06:00:00)");
    return QString();
}

QString NotAllowed(const QString& option, const QString& value) {
    return QStringLiteral("--%1: '%2' is not allowed; give %3").arg(option, value, Allowed(option));
}

bool AllDigits(QStringView text) {
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) {
        return c >= QLatin1Char('0') && c <= QLatin1Char('9');
    });
}

std::optional<QList<int>> Inputs(const QString& text) {
    QList<int> inputs;
    for (const QString& part : text.split(QLatin1Char(','))) {
        const QString digit = part.trimmed();
        if (digit.size() != 1 || digit[0] < QLatin1Char('1') || digit[0] > QLatin1Char('3'))
            return std::nullopt;
        const int input = digit[0].unicode() - '0';
        if (inputs.contains(input))
            return std::nullopt;
        inputs.append(input);
    }
    if (inputs.size() < 2)
        return std::nullopt;
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

// "30s" or "2min": the interval field's value and the unit list's index.
std::optional<std::pair<int, int>> Interval(const QString& text) {
    const QString lower = text.toLower();
    for (const auto& [suffix, unit, lowest] : {std::tuple{"min", 1, 1}, std::tuple{"s", 0, 5}}) {
        const QLatin1String unitText(suffix);
        if (!lower.endsWith(unitText))
            continue;
        const QStringView number = QStringView(lower).chopped(unitText.size());
        if (!AllDigits(number) || number.size() > 3)
            return std::nullopt;
        const int value = number.toInt();
        if (value < lowest || value > 120)
            return std::nullopt;
        return std::pair{value, unit};
    }
    return std::nullopt;
}

// "08:00" or "22:00:00".
std::optional<QTime> TimeOfDay(QStringView text) {
    const QList<QStringView> parts = text.split(QLatin1Char(':'));
    if (parts.size() < 2 || parts.size() > 3 || parts[0].size() > 2 || parts[1].size() != 2 ||
        (parts.size() == 3 && parts[2].size() != 2))
        return std::nullopt;
    for (QStringView part : parts) {
        if (!AllDigits(part))
            return std::nullopt;
    }
    const QTime time(parts[0].toInt(), parts[1].toInt(), parts.size() == 3 ? parts[2].toInt() : 0);
    return time.isValid() ? std::optional<QTime>(time) : std::nullopt;
}

QString TimeText(const QTime& time) {
    return time.toString(QStringLiteral("HH:mm:ss"));
}

// Qt names the option in its own message ("Missing value after '--port'."): the name.
QString OptionNamedIn(const QString& qtMessage) {
    const qsizetype open = qtMessage.indexOf(QLatin1Char('\''));
    const qsizetype close = qtMessage.lastIndexOf(QLatin1Char('\''));
    if (open < 0 || close <= open)
        return QString();
    QString name = qtMessage.mid(open + 1, close - open - 1);
    while (name.startsWith(QLatin1Char('-')))
        name.remove(0, 1);
    return name.section(QLatin1Char('='), 0, 0);
}

TResult Refused(const QString& error) {
    TResult result;
    result.error = error;
    return result;
}

} // namespace

QString ReadInputs(const QString& text, TRotateParams* params) {
    const std::optional<QList<int>> inputs = Inputs(text);
    if (!inputs)
        return NotAllowed(kInputs, text);
    params->Inputs = *inputs;
    return {};
}

QString ReadEvery(const QString& text, TRotateParams* params) {
    const std::optional<std::pair<int, int>> interval = Interval(text);
    if (!interval)
        return NotAllowed(kEvery, text);
    params->IntervalValue = interval->first;
    params->IntervalUnitIndex = interval->second;
    return {};
}

QString ReadBetween(const QString& text, TRotateParams* params) {
    const QList<QStringView> ends = QStringView(text).split(QLatin1Char('-'));
    const std::optional<QTime> start =
        ends.size() == 2 ? TimeOfDay(ends[0].trimmed()) : std::nullopt;
    const std::optional<QTime> end = ends.size() == 2 ? TimeOfDay(ends[1].trimmed()) : std::nullopt;
    if (!start || !end)
        return NotAllowed(kBetween, text);
    // A window that never opens would leave an unattended rotation doing nothing.
    if (*start == *end)
        return QStringLiteral("--between: the window %1-%2 is empty; give two different times")
            .arg(TimeText(*start), TimeText(*end));
    params->TimeWindow = true;
    params->StartTime = *start;
    params->EndTime = *end;
    return {};
}

QString EveryText(const TRotateParams& params) {
    return QString::number(params.IntervalValue) +
           (params.IntervalUnitIndex == 1 ? QStringLiteral("min") : QStringLiteral("s"));
}

QString BetweenText(const TRotateParams& params) {
    return TimeText(params.StartTime) + QLatin1Char('-') + TimeText(params.EndTime);
}

bool IsOptionForm(const QStringList& arguments) {
    return std::any_of(arguments.begin(), arguments.end(), [](const QString& argument) {
        return argument == QLatin1String("--rotate") || argument == QLatin1String("--serve") ||
               argument == QLatin1String("--status") ||
               argument.startsWith(QLatin1String("--status="));
    });
}

std::optional<int> PortNumber(const QString& text) {
    const QString port = CmdLineParse::Normalise(text);
    if (!port.startsWith(QLatin1String("com")))
        return std::nullopt;
    const QStringView digits = QStringView(port).mid(3);
    if (!AllDigits(digits) || digits.size() > 5)
        return std::nullopt;
    const int number = digits.toInt();
    // The port object keeps its number in 16 bits; 0 asks an operator to choose.
    if (number < 1 || number > 0xFFFF)
        return std::nullopt;
    return number;
}

TResult Parse(const QStringList& arguments) {
    QCommandLineParser parser;
    // "-port" reads as "--port", as a user who types one dash means it.
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    parser.addOptions({
        QCommandLineOption(kRotate),
        QCommandLineOption(kServe),
        QCommandLineOption(kPort, QString(), QStringLiteral("PORT")),
        QCommandLineOption(kModel, QString(), QStringLiteral("MODEL")),
        QCommandLineOption(kInputs, QString(), QStringLiteral("LIST")),
        QCommandLineOption(kEvery, QString(), QStringLiteral("INTERVAL")),
        QCommandLineOption(kBetween, QString(), QStringLiteral("START-END")),
        QCommandLineOption(kHidden),
        QCommandLineOption(kStatus, QString(), QStringLiteral("PORT")),
        QCommandLineOption(QStringList{QStringLiteral("h"), kHelp}),
    });
    if (!parser.parse(QStringList{QStringLiteral("InCycler")} + arguments)) {
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty())
            return Refused(QStringLiteral("unknown option %1; --rotate takes --port, --model, "
                                          "--inputs, --every, --between and --hidden, --serve "
                                          "takes --port, --model and --hidden, --status takes a "
                                          "port alone")
                               .arg(unknown.first().size() == 1 ? "-" + unknown.first()
                                                                : "--" + unknown.first()));
        const QString option = OptionNamedIn(parser.errorText());
        if (!Allowed(option).isEmpty())
            return Refused(QStringLiteral("--%1 needs a value: %2").arg(option, Allowed(option)));
        return Refused(parser.errorText());
    }
    TResult result;
    if (parser.isSet(kHelp)) {
        result.help = true;
        return result;
    }
    if (!parser.positionalArguments().isEmpty())
        return Refused(QStringLiteral("unexpected argument '%1'; every value follows its option, "
                                      "as in --port com05")
                           .arg(parser.positionalArguments().first()));
    if (parser.isSet(kStatus)) {
        for (const QString& option :
             {kRotate, kServe, kPort, kModel, kInputs, kEvery, kBetween, kHidden}) {
            if (parser.isSet(option))
                return Refused(QStringLiteral("--status takes a port alone, not --%1").arg(option));
        }
        if (parser.values(kStatus).size() > 1)
            return Refused(QStringLiteral("--status is given twice"));
        const std::optional<int> port = PortNumber(parser.value(kStatus));
        if (!port)
            return Refused(NotAllowed(kStatus, parser.value(kStatus)));
        result.form = TForm::Status;
        result.statusPort = *port;
        result.ok = true;
        return result;
    }
    for (const QString& option : {kPort, kModel, kInputs, kEvery, kBetween}) {
        if (parser.values(option).size() > 1)
            return Refused(QStringLiteral("--%1 is given twice").arg(option));
    }
    const bool serve = parser.isSet(kServe);
    if (serve && parser.isSet(kRotate))
        return Refused(QStringLiteral("--rotate and --serve are two forms: give one of them"));
    const QString form = serve ? QStringLiteral("--serve") : QStringLiteral("--rotate");
    if (serve) {
        for (const QString& option : {kInputs, kEvery, kBetween}) {
            if (parser.isSet(option))
                return Refused(QStringLiteral("--serve takes --port, --model and --hidden, not "
                                              "--%1 (a rotation is started with --rotate, or "
                                              "through the socket)")
                                   .arg(option));
        }
    }
    for (const QString& option : {kPort, kModel, kInputs, kEvery}) {
        if (serve && (option == kInputs || option == kEvery))
            continue;
        if (!parser.isSet(option))
            return Refused(
                QStringLiteral("%1 needs --%2: give %3").arg(form, option, Allowed(option)));
    }

    TRotateParams& params = result.rotate;
    const QString port = parser.value(kPort);
    const std::optional<int> portNumber = PortNumber(port);
    if (!portNumber)
        return Refused(NotAllowed(kPort, port));
    params.ComPortNum = *portNumber;

    const QString model = parser.value(kModel);
    const QString modelWord = CmdLineParse::Normalise(model);
    if (modelWord != QLatin1String("rsx24p") && modelWord != QLatin1String("rsx24q"))
        return Refused(NotAllowed(kModel, model));
    params.ModelIndex = modelWord == QLatin1String("rsx24q") ? 1 : 0;

    params.Hidden = parser.isSet(kHidden);
    if (serve) {
        params.Start = false;
        result.form = TForm::Serve;
        result.ok = true;
        return result;
    }
    for (const auto& [option, read] :
         {std::pair{kInputs, &ReadInputs}, std::pair{kEvery, &ReadEvery},
          std::pair{kBetween, &ReadBetween}}) {
        if (!parser.isSet(option))
            continue;
        const QString refused = read(parser.value(option), &params);
        if (!refused.isEmpty())
            return Refused(refused);
    }
    result.ok = true;
    return result;
}

QString Describe(const TRotateParams& params) {
    const QString model =
        params.ModelIndex == 1 ? QStringLiteral("RSX-24Q") : QStringLiteral("RSX-24P");
    if (!params.Start)
        return model;
    QStringList inputs;
    for (int input : params.Inputs)
        inputs.append(QString::number(input));
    const QString unit =
        params.IntervalUnitIndex == 1 ? QStringLiteral("min") : QStringLiteral("s");
    const QString window = params.TimeWindow
                               ? QStringLiteral("between %1 and %2")
                                     .arg(TimeText(params.StartTime), TimeText(params.EndTime))
                               : QStringLiteral("all day");
    return QStringLiteral("%1, inputs %2, every %3 %4, %5")
        .arg(model, inputs.join(QLatin1Char(',')), QString::number(params.IntervalValue), unit,
             window);
}

} // namespace ProgramOptions
