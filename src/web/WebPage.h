#pragma once

#include <QByteArray>

#include <optional>

// The page a person opens at / on a phone or a desk (its files compiled in from page/page.qrc).
// Its files are answered without a token: they hold no secret, and the page asks for the
// token itself. The policy it is served with lets it load nothing but its own files, so that
// no script of anybody else's runs beside the cookie's requests.
namespace WebPage {

// The answer to a GET of path (without its query) when it names one of the page's files;
// ifNoneMatch is the request's If-None-Match, answered with 304 when it names the file's tag.
std::optional<QByteArray> Answer(const QByteArray& path, const QByteArray& ifNoneMatch, bool close);

} // namespace WebPage
