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
//   {"command":"select","model":"rsx24p","input":3}
//   {"command":"power","model":"rsx24p","on":true}
//
// A reply is {"ok":true} (with "state" for status) or {"ok":false,"error":...,"message":...}.
namespace ControlProtocol {

// The longest request line the owner reads; a longer one ends the connection.
inline constexpr int MaxRequestBytes = 1024;

enum class TCommand { Status, Select, Power };

struct TRequest {
    TCommand command = TCommand::Status;
    QString model; // "rsx24p" or "rsx24q" for select and power
    int input = 0; // select: 0 to 9, sent as the one-shot sends it
    bool on = false;
};

// What the owner made of a command.
enum class TOutcome { Sent, WrongModel, NotSent };

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
};

QJsonObject StateJson(const TOwnerState& state);

// Reply lines, each ending in a line feed.
QByteArray OkReply();
QByteArray StateReply(const TOwnerState& state);
// error: a short word a script can test ("request", "model", "not-sent", "refused", "busy").
QByteArray ErrorReply(const QString& error, const QString& message);

} // namespace ControlProtocol
