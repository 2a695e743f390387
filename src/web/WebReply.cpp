#include "WebReply.h"

#include <QJsonDocument>

namespace WebReply {

namespace {

QByteArray Reason(int status) {
    switch (status) {
    case 200:
        return "OK";
    case 304:
        return "Not Modified";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 405:
        return "Method Not Allowed";
    case 408:
        return "Request Timeout";
    case 409:
        return "Conflict";
    case 413:
        return "Content Too Large";
    case 431:
        return "Request Header Fields Too Large";
    case 503:
        return "Service Unavailable";
    default:
        return "Error";
    }
}

QJsonObject ErrorBody(const QString& error, const QString& message) {
    return {{QLatin1String("ok"), false},
            {QLatin1String("error"), error},
            {QLatin1String("message"), message}};
}

} // namespace

QByteArray Content(int status, const THeaders& headers, const QByteArray& content, bool close) {
    QByteArray reply = "HTTP/1.1 " + QByteArray::number(status) + ' ' + Reason(status) + "\r\n";
    for (const auto& [name, value] : headers)
        reply += name + ": " + value + "\r\n";
    reply += "X-Content-Type-Options: nosniff\r\n";
    if (status != 304)
        reply += "Content-Length: " + QByteArray::number(content.size()) + "\r\n";
    if (close)
        reply += "Connection: close\r\n";
    return reply + "\r\n" + content;
}

QByteArray Json(int status, const QJsonObject& body, bool close, const THeaders& headers) {
    THeaders all{{"Content-Type", "application/json"}, {"Cache-Control", "no-store"}};
    if (status == 401)
        all.append(qMakePair(QByteArray("WWW-Authenticate"), QByteArray("Bearer")));
    return Content(status, all + headers, QJsonDocument(body).toJson(QJsonDocument::Compact) + '\n',
                   close);
}

QByteArray Error(int status, const QString& error, const QString& message, bool close) {
    return Json(status, ErrorBody(error, message), close);
}

int StatusFor(const OwnerClient::TAnswer& answer, QJsonObject* body) {
    using OwnerClient::TKind;
    switch (answer.kind) {
    case TKind::NoOwner:
        *body = ErrorBody(QStringLiteral("no-owner"), answer.message);
        return 404;
    case TKind::Refused:
        *body = ErrorBody(QStringLiteral("refused"), answer.message);
        return 503;
    case TKind::Failed:
        *body = ErrorBody(QStringLiteral("no-answer"), answer.message);
        return 503;
    case TKind::Answered:
        break;
    }
    *body = OwnerClient::Printable(answer.reply).toObject();
    if (answer.reply.value(QLatin1String("ok")).toBool())
        return 200;
    const QString error = answer.reply.value(QLatin1String("error")).toString();
    if (error == QLatin1String("request"))
        return 400;
    if (error == QLatin1String("model"))
        return 409;
    return 503;
}

} // namespace WebReply
