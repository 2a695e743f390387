#include "ControlProtocol.h"

#include "cmdline/ProgramOptions.h"

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

// A value as the client wrote it, for a refusal that quotes it.
QString JsonText(const QJsonValue& value) {
    return QString::fromUtf8(QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact))
        .chopped(1)
        .mid(1);
}

// The settings of a rotation request, read as --rotate reads its options: the same values, the
// same refusals.
TParsed ParseRotation(const QJsonObject& object) {
    TParsed parsed;
    TRequest& request = parsed.request;
    request.command = TCommand::Rotation;
    const QJsonValue running = object.value(QLatin1String("running"));
    if (!running.isBool())
        return Refused(QStringLiteral("\"running\" is true or false"));
    request.running = running.toBool();
    if (!request.running) {
        parsed.ok = true;
        return parsed;
    }
    if (const QJsonValue inputs = object.value(QLatin1String("inputs")); !inputs.isUndefined()) {
        // As --inputs takes them, written as a list: [1,3] is "1,3".
        QStringList written;
        for (const QJsonValue& input : inputs.toArray())
            written.append(input.isDouble() ? QString::number(input.toDouble()) : JsonText(input));
        const QString text = inputs.isArray() ? written.join(QLatin1Char(',')) : JsonText(inputs);
        const QString refused = ProgramOptions::ReadInputs(text, &request.rotation);
        if (!refused.isEmpty())
            return Refused(refused);
        request.hasInputs = true;
    }
    if (const QJsonValue every = object.value(QLatin1String("every")); !every.isUndefined()) {
        const QString refused = ProgramOptions::ReadEvery(
            every.isString() ? every.toString() : JsonText(every), &request.rotation);
        if (!refused.isEmpty())
            return Refused(refused);
        request.hasEvery = true;
    }
    if (const QJsonValue between = object.value(QLatin1String("between")); !between.isUndefined()) {
        // null: all day, as --rotate without --between.
        if (!between.isNull()) {
            const QString refused = ProgramOptions::ReadBetween(
                between.isString() ? between.toString() : JsonText(between), &request.rotation);
            if (!refused.isEmpty())
                return Refused(refused);
        }
        request.hasBetween = true;
    }
    parsed.ok = true;
    return parsed;
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
    if (command == QLatin1String("status") || command == QLatin1String("watch")) {
        request.command = command == QLatin1String("watch") ? TCommand::Watch : TCommand::Status;
        parsed.ok = true;
        return parsed;
    }
    if (command != QLatin1String("select") && command != QLatin1String("power") &&
        command != QLatin1String("rotation"))
        return Refused(QStringLiteral("\"command\" is \"status\", \"select\", \"power\", "
                                      "\"rotation\" or \"watch\""));
    // Left out, the owner's own model is meant; given, it must be the owner's.
    const QJsonValue model = object.value(QLatin1String("model"));
    if (!model.isUndefined()) {
        request.model = model.toString();
        if (request.model != QLatin1String("rsx24p") && request.model != QLatin1String("rsx24q"))
            return Refused(QStringLiteral("\"model\" is \"rsx24p\" or \"rsx24q\""));
    }
    if (command == QLatin1String("rotation")) {
        TParsed rotation = ParseRotation(object);
        rotation.request.model = request.model;
        return rotation;
    }
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
    case TCommand::Watch:
        object.insert(QLatin1String("command"), QLatin1String("watch"));
        break;
    case TCommand::Select:
        object.insert(QLatin1String("command"), QLatin1String("select"));
        object.insert(QLatin1String("input"), request.input);
        break;
    case TCommand::Power:
        object.insert(QLatin1String("command"), QLatin1String("power"));
        object.insert(QLatin1String("on"), request.on);
        break;
    case TCommand::Rotation: {
        object.insert(QLatin1String("command"), QLatin1String("rotation"));
        object.insert(QLatin1String("running"), request.running);
        const TRotateParams& rotation = request.rotation;
        if (request.hasInputs) {
            QJsonArray inputs;
            for (int input : rotation.Inputs)
                inputs.append(input);
            object.insert(QLatin1String("inputs"), inputs);
        }
        if (request.hasEvery)
            object.insert(QLatin1String("every"), ProgramOptions::EveryText(rotation));
        if (request.hasBetween)
            object.insert(QLatin1String("between"),
                          rotation.TimeWindow ? QJsonValue(ProgramOptions::BetweenText(rotation))
                                              : QJsonValue(QJsonValue::Null));
        break;
    }
    }
    if (!request.model.isEmpty() && request.command != TCommand::Status &&
        request.command != TCommand::Watch)
        object.insert(QLatin1String("model"), request.model);
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
                                  {QLatin1String("end"), state.end.toString(Qt::ISODate)},
                                  {QLatin1String("open"), state.windowOpen}});
    return object;
}

QByteArray OkReply() {
    return Line(QJsonObject{{QLatin1String("ok"), true}});
}

QByteArray StateReply(const TOwnerState& state) {
    return Line(
        QJsonObject{{QLatin1String("ok"), true}, {QLatin1String("state"), StateJson(state)}});
}

QByteArray StateEvent(const TOwnerState& state) {
    return Line(QJsonObject{{QLatin1String("event"), QLatin1String("state")},
                            {QLatin1String("state"), StateJson(state)}});
}

QByteArray ErrorReply(const QString& error, const QString& message) {
    return Line(QJsonObject{{QLatin1String("ok"), false},
                            {QLatin1String("error"), error},
                            {QLatin1String("message"), message}});
}

} // namespace ControlProtocol
