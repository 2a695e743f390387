#include "ControlProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>

namespace ControlProtocol {

namespace {

TParsed Refused(const QString& error) {
    TParsed parsed;
    parsed.error = error;
    return parsed;
}

QByteArray Line(const QJsonObject& object) {
    return QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n';
}

QString PowerWord(TPowerState power) {
    switch (power) {
    case psPowerOn:
        return QStringLiteral("on");
    case psPowerOff:
        return QStringLiteral("off");
    case psNone:
        break;
    }
    return QStringLiteral("unknown");
}

} // namespace

TParsed ParseRequest(const QByteArray& line) {
    if (line.size() > MaxRequestBytes)
        return Refused(QStringLiteral("the request is longer than %1 bytes").arg(MaxRequestBytes));
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return Refused(QStringLiteral("a request is one JSON object on one line"));
    const QJsonObject object = document.object();
    const QString command = object.value(QLatin1String("command")).toString();

    TParsed parsed;
    TRequest& request = parsed.request;
    if (command == QLatin1String("status")) {
        request.command = TCommand::Status;
        parsed.ok = true;
        return parsed;
    }
    if (command != QLatin1String("select") && command != QLatin1String("power"))
        return Refused(QStringLiteral("\"command\" is \"status\", \"select\" or \"power\""));
    request.model = object.value(QLatin1String("model")).toString();
    if (request.model != QLatin1String("rsx24p") && request.model != QLatin1String("rsx24q"))
        return Refused(QStringLiteral("\"model\" is \"rsx24p\" or \"rsx24q\""));
    if (command == QLatin1String("select")) {
        const QJsonValue input = object.value(QLatin1String("input"));
        // An integral number 0 to 9, as the one-shot's in0 to in9.
        const double number = input.toDouble(-1);
        if (!input.isDouble() || number < 0 || number > 9 || number != int(number))
            return Refused(QStringLiteral("\"input\" is a whole number from 0 to 9"));
        request.command = TCommand::Select;
        request.input = int(number);
    } else {
        const QJsonValue on = object.value(QLatin1String("on"));
        if (!on.isBool())
            return Refused(QStringLiteral("\"on\" is true or false"));
        request.command = TCommand::Power;
        request.on = on.toBool();
    }
    parsed.ok = true;
    return parsed;
}

QByteArray RequestLine(const TRequest& request) {
    QJsonObject object;
    switch (request.command) {
    case TCommand::Status:
        object.insert(QLatin1String("command"), QLatin1String("status"));
        break;
    case TCommand::Select:
        object.insert(QLatin1String("command"), QLatin1String("select"));
        object.insert(QLatin1String("model"), request.model);
        object.insert(QLatin1String("input"), request.input);
        break;
    case TCommand::Power:
        object.insert(QLatin1String("command"), QLatin1String("power"));
        object.insert(QLatin1String("model"), request.model);
        object.insert(QLatin1String("on"), request.on);
        break;
    }
    return Line(object);
}

QJsonObject StateJson(const TOwnerState& state) {
    QJsonArray inputs;
    for (int input : state.inputs)
        inputs.append(input);
    QJsonObject object{
        {QLatin1String("pid"), state.pid},
        {QLatin1String("port"), state.port},
        {QLatin1String("device"), state.device},
        {QLatin1String("model"), state.model},
        {QLatin1String("power"), PowerWord(state.power)},
        {QLatin1String("input"), state.input},
        {QLatin1String("rotation"),
         state.running ? QLatin1String("running") : QLatin1String("stopped")},
        {QLatin1String("mode"),
         state.timeWindow ? QLatin1String("window") : QLatin1String("all-day")},
        {QLatin1String("inputs"), inputs},
        {QLatin1String("interval_ms"), state.intervalMs},
    };
    if (state.timeWindow)
        object.insert(QLatin1String("window"),
                      QJsonObject{{QLatin1String("start"), state.start.toString(Qt::ISODate)},
                                  {QLatin1String("end"), state.end.toString(Qt::ISODate)}});
    return object;
}

QByteArray OkReply() {
    return Line(QJsonObject{{QLatin1String("ok"), true}});
}

QByteArray StateReply(const TOwnerState& state) {
    return Line(
        QJsonObject{{QLatin1String("ok"), true}, {QLatin1String("state"), StateJson(state)}});
}

QByteArray ErrorReply(const QString& error, const QString& message) {
    return Line(QJsonObject{{QLatin1String("ok"), false},
                            {QLatin1String("error"), error},
                            {QLatin1String("message"), message}});
}

} // namespace ControlProtocol
