#pragma once

#include <QByteArray>
#include <QString>

#include <functional>
#include <optional>

// Who may use the service: the holder of the token, from the same site.
namespace WebAccess {

// The cookie POST /login sets.
inline constexpr char CookieName[] = "incycler_token";

// Whether the two are equal, in a time that does not depend on where they differ.
bool SameToken(const QByteArray& given, const QByteArray& token);

// What a request shows of itself: a header by its lower-case name, and the query's token.
struct TRequest {
    QByteArray method;
    QByteArray path;
    std::function<QByteArray(const QByteArray&)> header;
    QByteArray queryToken; // ?token=, taken on the events URL alone
    bool upgrade = false;
};

struct TRefusal {
    int status = 0;
    QString error; // the word of the error body
    QString message;
};

// Why the request may not go on, or nothing. A request that changes anything (every POST) and
// every WebSocket upgrade from another site are refused whatever they carry, for a browser
// sends the cookie with them; a request that carries no right token is refused too, except
// the login, which brings its token in its body.
std::optional<TRefusal> Refusal(const TRequest& request, const QByteArray& token);

// The Set-Cookie value POST /login answers with.
QByteArray LoginCookie(const QByteArray& token, bool secure);

} // namespace WebAccess
