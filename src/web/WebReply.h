#pragma once

#include "cmdline/OwnerClient.h"

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QString>

// The service's HTTP answers: JSON for the API, never cached, never shared with another site
// (no CORS header at all), and every error in the body the owner's socket uses,
// {"ok":false,"error":WORD,"message":TEXT}; the page's files alone are not JSON.
namespace WebReply {

using THeaders = QList<QPair<QByteArray, QByteArray>>;

// Any answer: the status line, the headers given, the content with its length (none for 304).
QByteArray Content(int status, const THeaders& headers, const QByteArray& content, bool close);
QByteArray Json(int status, const QJsonObject& body, bool close = false,
                const THeaders& headers = {});
QByteArray Error(int status, const QString& error, const QString& message, bool close = false);

// The status for an owner's answer: 200 for ok, 400 for request, 409 for model, 503 for
// not-sent, busy, refused and no answer at all, 404 where no InCycler serves the port. body
// gets the object to send (the owner's reply where it gave one).
int StatusFor(const OwnerClient::TAnswer& answer, QJsonObject* body);

} // namespace WebReply
