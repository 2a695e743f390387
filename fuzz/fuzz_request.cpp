// The owner's request parser on whatever a local client may send: each line is either a
// request the owner can carry out as parsed, whose own line parses back to the same request,
// or a refusal that says why. The replies, whatever the state's texts hold, stay one line each
// and give back what went in.

#include "FuzzCheck.h"

#include "control/ControlProtocol.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <cstdint>

using namespace ControlProtocol;

namespace {

void CheckLine(const QByteArray& line) {
    const TParsed parsed = ParseRequest(line);
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.error.isEmpty());
        return;
    }
    FUZZ_CHECK(line.size() <= MaxRequestBytes);
    const TRequest& request = parsed.request;
    FUZZ_CHECK(request.model.isEmpty() || request.model == QLatin1String("rsx24p") ||
               request.model == QLatin1String("rsx24q"));
    FUZZ_CHECK(request.input >= 0 && request.input <= 9);
    // A rotation as --rotate could start it: two or three inputs, an interval in its limits,
    // a window that is not empty.
    const TRotateParams& rotation = request.rotation;
    if (request.hasInputs)
        FUZZ_CHECK(rotation.Inputs.size() >= 2 && rotation.Inputs.size() <= 3);
    if (request.hasEvery)
        FUZZ_CHECK(rotation.IntervalValue >= (rotation.IntervalUnitIndex == 1 ? 1 : 5) &&
                   rotation.IntervalValue <= 120);
    if (request.hasBetween && rotation.TimeWindow)
        FUZZ_CHECK(rotation.StartTime.isValid() && rotation.StartTime != rotation.EndTime);
    const QByteArray again = RequestLine(request);
    FUZZ_CHECK(again.endsWith('\n') && again.count('\n') == 1);
    const TParsed reparsed = ParseRequest(again.chopped(1));
    FUZZ_CHECK(reparsed.ok);
    FUZZ_CHECK(reparsed.request == request);
}

QJsonObject OneLineObject(const QByteArray& reply) {
    FUZZ_CHECK(reply.endsWith('\n') && reply.count('\n') == 1);
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(reply, &error);
    FUZZ_CHECK(error.error == QJsonParseError::NoError && document.isObject());
    return document.object();
}

// The owner's texts (port, device, messages) come from the file system and the system's
// error texts: anything at all.
void CheckReplies(const QByteArray& bytes) {
    const QString text = QString::fromUtf8(bytes);
    TOwnerState state;
    state.pid = bytes.size();
    state.port = text.left(8);
    state.device = text;
    state.model = QStringLiteral("rsx24q");
    state.power = TPowerState(bytes.size() % 3);
    state.input = bytes.isEmpty() ? 0 : quint8(bytes.front()) % 10;
    state.timeWindow = bytes.size() % 2 == 1;
    state.inputs = {1, 3};
    state.intervalMs = 7200000;
    state.start = QTime(22, 0);
    state.end = QTime(6, 0);
    state.windowOpen = bytes.size() % 4 == 1;
    const QJsonObject reply = OneLineObject(StateReply(state));
    const QJsonObject back = reply.value(QLatin1String("state")).toObject();
    FUZZ_CHECK(back.value(QLatin1String("device")).toString() == state.device);
    FUZZ_CHECK(back.value(QLatin1String("port")).toString() == state.port);
    FUZZ_CHECK(back.value(QLatin1String("input")).toInt() == state.input);
    FUZZ_CHECK(back.contains(QLatin1String("window")) == state.timeWindow);
    const QJsonObject event = OneLineObject(StateEvent(state));
    FUZZ_CHECK(event.value(QLatin1String("state")).toObject() == back);

    const QJsonObject error = OneLineObject(ErrorReply(QStringLiteral("not-sent"), text));
    FUZZ_CHECK(error.value(QLatin1String("message")).toString() == text);
    FUZZ_CHECK(!error.value(QLatin1String("ok")).toBool(true));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    // Split as the owner reads: at line feeds, a CR before one dropped.
    for (QByteArray line : bytes.split('\n')) {
        if (line.endsWith('\r'))
            line.chop(1);
        CheckLine(line);
    }
    CheckReplies(bytes);
    return 0;
}
