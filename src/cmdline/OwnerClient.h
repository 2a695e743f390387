#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>

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

// Whether an owner's socket lies there for the port, so that a one-shot run may ask.
bool SocketPresent(int comPortNum);

// Sends one request line and waits for its reply line.
TAnswer Ask(int comPortNum, const QByteArray& requestLine);

// --status: prints the owner's state as one JSON object on standard output. The exit status.
int PrintStatus(int comPortNum);

} // namespace OwnerClient
