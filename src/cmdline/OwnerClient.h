#pragma once

#include "control/ControlSocket.h"

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QString>

#include <optional>

// The other side of the owner's socket: a one-shot run that finds its port held by another
// InCycler, and --status. It talks only to the process that holds the device's flock, never
// to whatever else may lie at the socket's path.
namespace OwnerClient {

enum class TKind {
    NoOwner,  // nobody serves the port, or not the process that holds it (message: why)
    Refused,  // the owner will not serve this user (message: its reason)
    Failed,   // no usable answer (message: why)
    Answered, // reply holds the owner's answer
};

struct TAnswer {
    TKind kind = TKind::NoOwner;
    QJsonObject reply;
    QString message;
    qint64 ownerPid = 0;
};

// How long the owner has to answer: its command may wait a second for the line.
inline constexpr int AnswerTimeoutMs = 5000;

// A reply is a line of a few hundred bytes; far more is no reply.
inline constexpr qsizetype MaxReplyBytes = 65536;

// Whether an owner's socket lies there for the port, so that a one-shot run may ask.
bool SocketPresent(int comPortNum);

// Sends one request line and waits for its reply line.
TAnswer Ask(int comPortNum, const QByteArray& requestLine);

// The steps of Ask, for a client that must not block (the network service) and so waits for
// the socket on its own event loop.

// Where a port's owner would serve.
struct TTarget {
    QString device; // the port's device, links resolved
    QString where;  // "COM5 (/dev/ttyUSB0)", for the messages
    QString path;   // the owner's socket
};
// Nothing, with *failure set (NoOwner and why), when the port has no device or no socket
// directory is fit.
std::optional<TTarget> Locate(int comPortNum, TAnswer* failure);

// One non-blocking connection attempt: a connected descriptor, or -1 with *error set (EAGAIN
// while the owner's backlog is full: the owner is there, try again shortly).
int ConnectOnce(const QString& path, int* error);

// What a connection that could not be made means, error being ConnectOnce's (ETIMEDOUT after
// the retries for a full backlog).
TAnswer ConnectFailure(const TTarget& target, int error);

// Whether the peer is the process that holds the device's flock, as its user.
bool HeldBy(const ControlSocket::TPeer& peer, const QString& device);

// "the InCycler holding COM5 (/dev/ttyUSB0) (process 4711)", for the messages.
QString OwnerName(const TTarget& target, qint64 ownerPid);

// The owner's reply line, as Ask reads it.
TAnswer Interpret(const QByteArray& line, qint64 ownerPid, const QString& ownerName);

// An owner's value with every text in it made printable: it came from another process.
QJsonValue Printable(const QJsonValue& value);

// --status: prints the owner's state as one JSON object on standard output. The exit status.
int PrintStatus(int comPortNum);

} // namespace OwnerClient
