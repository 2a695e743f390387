#include "WebAccess.h"

#include <QUrl>

namespace WebAccess {

namespace {

// host[:port] as the Host header writes it, the default port left out and the host in lower
// case, so that an Origin and a Host name the same site alike.
QByteArray Authority(const QUrl& url) {
    const int defaultPort = url.scheme() == QLatin1String("https") ? 443 : 80;
    QByteArray host = url.host(QUrl::FullyEncoded).toLower().toLatin1();
    if (host.contains(':'))
        host = '[' + host + ']';
    const int port = url.port(defaultPort);
    return port == defaultPort ? host : host + ':' + QByteArray::number(port);
}

bool SameSite(const QByteArray& origin, const QByteArray& host) {
    const QUrl originUrl(QString::fromLatin1(origin), QUrl::StrictMode);
    const QUrl hostUrl(QStringLiteral("%1://%2").arg(originUrl.scheme(), QString::fromLatin1(host)),
                       QUrl::StrictMode);
    if (!originUrl.isValid() || originUrl.host().isEmpty() || !hostUrl.isValid() ||
        hostUrl.host().isEmpty())
        return false;
    return Authority(originUrl) == Authority(hostUrl);
}

// The token of "Authorization: Bearer TOKEN", or of the login's cookie.
QByteArray CarriedToken(const TRequest& request) {
    const QByteArray authorization = request.header("authorization");
    if (authorization.size() > 7 &&
        authorization.left(7).compare("Bearer ", Qt::CaseInsensitive) == 0)
        return authorization.mid(7).trimmed();
    for (const QByteArray& cookie : request.header("cookie").split(';')) {
        const QByteArray item = cookie.trimmed();
        if (item.startsWith(QByteArray(CookieName) + '='))
            return item.mid(qsizetype(sizeof CookieName));
    }
    return request.upgrade ? request.queryToken : QByteArray();
}

} // namespace

bool SameToken(const QByteArray& given, const QByteArray& token) {
    // Every byte of the token is looked at whatever the given one is, and its length too.
    unsigned difference = given.size() == token.size() ? 0u : 1u;
    for (qsizetype i = 0; i < token.size(); ++i)
        difference |= unsigned(uchar(token[i]) ^ uchar(i < given.size() ? given[i] : 0));
    return difference == 0;
}

std::optional<TRefusal> Refusal(const TRequest& request, const QByteArray& token) {
    const QByteArray origin = request.header("origin");
    if ((request.method != "GET" || request.upgrade) && !origin.isEmpty() &&
        !SameSite(origin, request.header("host")))
        return TRefusal{403, QStringLiteral("origin"),
                        QStringLiteral("a request from another site (Origin %1) is not taken")
                            .arg(QString::fromLatin1(origin))};
    if (request.method == "POST" && request.path == "/login")
        return std::nullopt;
    if (!SameToken(CarriedToken(request), token))
        return TRefusal{401, QStringLiteral("token"),
                        QStringLiteral("give the service's token: \"Authorization: Bearer "
                                       "TOKEN\", the cookie of POST /login, or ?token= on the "
                                       "events URL")};
    return std::nullopt;
}

QByteArray LoginCookie(const QByteArray& token, bool secure) {
    return QByteArray(CookieName) + '=' + token + "; Path=/; HttpOnly; SameSite=Strict" +
           (secure ? "; Secure" : "");
}

} // namespace WebAccess
