#pragma once

#include "common/MyTypes.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QTime>

// The requests another process sends to the InCycler that holds a port, and the replies, on
// its local socket: one JSON object per line each way (docs/CONTROL.md).
//
//   {"command":"status"}
//   {"command":"select","model":"rsx24p","input":3}      (model optional: the owner's own)
//   {"command":"power","model":"rsx24p","on":true}
//   {"command":"rotation","running":true,"inputs":[1,3],"every":"30s","between":"08:00-17:00"}
//   {"command":"watch"}
//
// A reply is {"ok":true} (with "state" for status) or {"ok":false,"error":...,"message":...};
// a watch is answered with {"event":"state","state":{...}} at once and on every change.
namespace ControlProtocol {

// The longest request line the owner reads; a longer one ends the connection.
inline constexpr int MaxRequestBytes = 1024;

enum class TCommand { Status, Select, Power, Rotation, Watch };

struct TRequest {
    TCommand command = TCommand::Status;
    QString model; // "rsx24p" or "rsx24q"; empty: whichever the owner drives
    int input = 0; // select: 0 to 9, sent as the one-shot sends it
    bool on = false;
    // rotation: started (replacing one that runs) or stopped. Of the settings, those given
    // are set as --rotate sets them, the others are kept as the controls hold them.
    bool running = false;
    TRotateParams rotation;
    bool hasInputs = false;
    bool hasEvery = false;
    bool hasBetween = false; // with rotation.TimeWindow false: all day ("between":null)

    bool operator==(const TRequest&) const = default;
};

// What the owner made of a command. Refused: the request cannot be carried out as it stands
// (a rotation of fewer than two inputs), said as the window's box would say it.
enum class TOutcome { Sent, WrongModel, NotSent, Refused };

struct TParsed {
    bool ok = false;
    TRequest request;
    QString error; // why the line was refused
};

// One request line, without its line end.
TParsed ParseRequest(const QByteArray& line);

// The request for a one-shot command line's command ("in"/"pwr" as parsed).
QByteArray RequestLine(const TRequest& request);

// The owner's state as --status prints it.
struct TOwnerState {
    qint64 pid = 0;
    QString port;   // "COM5"
    QString device; // "/dev/ttyUSB0"
    QString model;  // "rsx24p" or "rsx24q"
    TPowerState power = psNone;
    int input = 0; // as last reported, 0 when not reported
    bool running = false;
    bool timeWindow = false;
    QList<int> inputs;
    qint64 intervalMs = 0;
    QTime start; // the window, in the window mode
    QTime end;
    bool windowOpen = false; // the rotation runs, inside its window

    bool operator==(const TOwnerState&) const = default;
};

QJsonObject StateJson(const TOwnerState& state);

// Reply lines, each ending in a line feed.
QByteArray OkReply();
QByteArray StateReply(const TOwnerState& state);
// What a watch gets at once and on every change.
QByteArray StateEvent(const TOwnerState& state);
// error: a short word a script can test ("request", "model", "not-sent", "refused", "busy").
QByteArray ErrorReply(const QString& error, const QString& message);

} // namespace ControlProtocol
