#include "WebPage.h"

#include "WebReply.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHash>

namespace WebPage {

namespace {

struct TFile {
    QByteArray type;
    QByteArray content;
    QByteArray tag; // the ETag: of the content, so a new build's page is never taken for the old
};

QHash<QByteArray, TFile> LoadFiles() {
    const struct {
        const char* path;
        const char* resource;
        const char* type;
    } files[] = {
        {"/", ":/page/index.html", "text/html; charset=utf-8"},
        {"/app.css", ":/page/app.css", "text/css; charset=utf-8"},
        {"/app.js", ":/page/app.js", "text/javascript; charset=utf-8"},
        {"/texts.js", ":/page/texts.js", "text/javascript; charset=utf-8"},
        {"/incycler.svg", ":/incycler.svg", "image/svg+xml"},
    };
    QHash<QByteArray, TFile> loaded;
    for (const auto& file : files) {
        QFile resource(QString::fromLatin1(file.resource));
        // Compiled in: a resource that cannot be read is a broken build, not a runtime event.
        if (!resource.open(QIODevice::ReadOnly))
            qFatal("incycler-web: the page's resource %s is missing", file.resource);
        TFile entry{file.type, resource.readAll(), {}};
        entry.tag =
            '"' +
            QCryptographicHash::hash(entry.content, QCryptographicHash::Sha256).toHex().left(20) +
            '"';
        loaded.insert(file.path, entry);
    }
    return loaded;
}

bool Matches(const QByteArray& ifNoneMatch, const QByteArray& tag) {
    for (const QByteArray& item : ifNoneMatch.split(',')) {
        const QByteArray given = item.trimmed();
        if (given == "*" || given == tag || given == "W/" + tag)
            return true;
    }
    return false;
}

} // namespace

std::optional<QByteArray> Answer(const QByteArray& path, const QByteArray& ifNoneMatch,
                                 bool close) {
    static const QHash<QByteArray, TFile> files = LoadFiles();
    const auto file = files.constFind(path);
    if (file == files.constEnd())
        return std::nullopt;
    // Asked again every time (no-cache) and answered by the tag: a phone that kept the page
    // gets the service's current one at its next load, for a 304 of a few bytes.
    const WebReply::THeaders headers{
        {"Content-Type", file->type},
        {"Cache-Control", "no-cache"},
        {"ETag", file->tag},
        {"Content-Security-Policy", "default-src 'self'; base-uri 'none'; form-action 'self'; "
                                    "frame-ancestors 'none'"},
        {"Referrer-Policy", "no-referrer"},
    };
    if (Matches(ifNoneMatch, file->tag))
        return WebReply::Content(304, headers, {}, close);
    return WebReply::Content(200, headers, file->content, close);
}

} // namespace WebPage
