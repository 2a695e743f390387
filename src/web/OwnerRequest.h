#pragma once

#include "cmdline/OwnerClient.h"

#include <QByteArray>
#include <QObject>

#include <functional>

// One request to a port's owner, answered on the event loop: as OwnerClient::Ask, the peer
// believed only when it is the process that holds the device's flock, as its user; nothing is
// sent to anything else.
namespace OwnerRequest {

using TDone = std::function<void(const OwnerClient::TAnswer&)>;

// done is called once, on the loop, unless context is destroyed first (then never).
void Ask(QObject* context, const OwnerClient::TTarget& target, const QByteArray& requestLine,
         TDone done);

// How many are waiting for their owners now; the service takes no more than a few at once.
int InFlight();

} // namespace OwnerRequest
