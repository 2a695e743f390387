#include "WebService.h"

#include "OwnerRequest.h"
#include "WebAccess.h"
#include "WebPage.h"
#include "WebReply.h"
#include "cmdline/ProgramOptions.h"
#include "common/PrintableText.h"
#include "control/ControlProtocol.h"
#include "device/PortMap.h"

#include <QHttpServerRequest>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTcpSocket>
#include <QUrlQuery>
#include <QWebSocket>

namespace {

// Owner requests under way at once: an owner serves 16 connections, one of them the watch.
constexpr int kMaxInFlight = 12;

WebAccess::TRequest AccessView(const QByteArray& method, const QByteArray& target,
                               std::function<QByteArray(const QByteArray&)> header) {
    WebAccess::TRequest view;
    view.method = method;
    const qsizetype query = target.indexOf('?');
    view.path = query < 0 ? target : target.left(query);
    view.header = std::move(header);
    view.upgrade = !view.header("upgrade").isEmpty();
    if (query >= 0)
        view.queryToken = QUrlQuery(QString::fromLatin1(target.mid(query + 1)))
                              .queryItemValue(QStringLiteral("token"), QUrl::FullyDecoded)
                              .toLatin1();
    return view;
}

QByteArray RefusalReply(const WebAccess::TRefusal& refusal, bool close) {
    return WebReply::Error(refusal.status, refusal.error, refusal.message, close);
}

QByteArray MethodNotAllowed(const char* allowed, bool close) {
    return WebReply::Json(405,
                          {{QLatin1String("ok"), false},
                           {QLatin1String("error"), QLatin1String("request")},
                           {QLatin1String("message"),
                            QStringLiteral("this URL takes %1").arg(QLatin1String(allowed))}},
                          close, {{"Allow", allowed}});
}

} // namespace

TWebService::TWebService(const QByteArray& token, TOwners* owners, QObject* parent)
    : QAbstractHttpServer(parent), m_token(token), m_owners(owners),
      m_gate(
          new THttpGate([this](const HttpHead::THead& head) { return CheckUpgrade(head); }, this)),
      m_events(owners, this) {
    connect(this, &QAbstractHttpServer::newWebSocketConnection, this, &TWebService::TakeWebSockets);
}

std::optional<TWebService::TRoute> TWebService::Route(const QByteArray& path) const {
    const QList<QByteArray> parts = path.split('/');
    // "", "api", "ports" [, PORT [, ACTION]]
    if (parts.size() < 3 || parts.size() > 5 || !parts[0].isEmpty() || parts[1] != "api" ||
        parts[2] != "ports")
        return std::nullopt;
    TRoute route;
    if (parts.size() >= 4)
        route.port = QString::fromUtf8(QByteArray::fromPercentEncoding(parts[3]));
    if (parts.size() == 5) {
        route.action = QString::fromLatin1(parts[4]);
        if (route.action != QLatin1String("input") && route.action != QLatin1String("power") &&
            route.action != QLatin1String("rotation") && route.action != QLatin1String("events"))
            return std::nullopt;
    }
    if (parts.size() >= 4 && route.port.isEmpty())
        return std::nullopt;
    return route;
}

const TOwnerWatch* TWebService::OwnerOf(const QString& port, QByteArray* error, bool close) const {
    const std::optional<int> number = ProgramOptions::PortNumber(port);
    if (!number) {
        *error = WebReply::Error(404, QStringLiteral("no-owner"),
                                 QStringLiteral("'%1' is not a port: write it as COM5 or com05")
                                     .arg(PrintableText(port)),
                                 close);
        return nullptr;
    }
    // Each owner names its port by its own port map (a unit's INCYCLER_PORT_DIR, say), which
    // this service need not share: the port is the one an owner reports by the name asked for.
    // Only where several report it is this service's own map asked which device is meant.
    const QString name = PortMap::PortName(*number);
    const QList<const TOwnerWatch*> owners = m_owners->ForPort(name);
    const TOwnerWatch* owner = owners.size() == 1 ? owners.first() : nullptr;
    QStringList devices;
    if (owners.size() > 1) {
        QString problem;
        const TOwnerWatch* mapped = m_owners->ForDevice(PortMap::ResolvedDevice(*number, &problem));
        owner = owners.contains(mapped) ? mapped : nullptr;
        for (const TOwnerWatch* candidate : owners)
            devices.append(candidate->Target().device);
    }
    if (owner == nullptr)
        *error = WebReply::Error(
            404, QStringLiteral("no-owner"),
            owners.isEmpty()
                ? QStringLiteral("%1: no InCycler serves this port").arg(name)
                : QStringLiteral("%1 is served on several devices (%2), none of them the one "
                                 "this service's port map gives; give the service the owners' "
                                 "INCYCLER_PORT_DIR")
                      .arg(name, devices.join(QStringLiteral(", "))),
            close);
    return owner;
}

std::optional<QByteArray> TWebService::CheckUpgrade(const HttpHead::THead& head) {
    const WebAccess::TRequest view = AccessView(
        head.method, head.target, [&head](const QByteArray& name) { return head.Value(name); });
    if (const std::optional<WebAccess::TRefusal> refusal = WebAccess::Refusal(view, m_token))
        return RefusalReply(*refusal, true);
    const std::optional<TRoute> route = Route(view.path);
    if (!route || route->action != QLatin1String("events") || view.method != "GET")
        return WebReply::Error(404, QStringLiteral("request"),
                               QStringLiteral("WebSocket is served at /api/ports/PORT/events"),
                               true);
    QByteArray error;
    if (OwnerOf(route->port, &error, true) == nullptr)
        return error;
    if (m_events.Count() >= TEventClients::MaxClients)
        return WebReply::Error(503, QStringLiteral("busy"),
                               QStringLiteral("%1 WebSocket clients are being served; try again")
                                   .arg(TEventClients::MaxClients),
                               true);
    return std::nullopt;
}

void TWebService::TakeWebSockets() {
    while (hasPendingWebSocketConnections()) {
        std::unique_ptr<QWebSocket> socket = nextPendingWebSocketConnection();
        const QNetworkRequest& request = socket->request();
        // Admitted by the gate already; asked again, so that nothing it did not see gets in.
        const QUrl url = socket->requestUrl();
        const WebAccess::TRequest view =
            AccessView("GET", url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority),
                       [&request](const QByteArray& name) { return request.rawHeader(name); });
        const std::optional<TRoute> route = Route(view.path);
        QByteArray error;
        const TOwnerWatch* owner = route && route->action == QLatin1String("events")
                                       ? OwnerOf(route->port, &error, true)
                                       : nullptr;
        if (WebAccess::Refusal(view, m_token) || owner == nullptr) {
            socket->close(QWebSocketProtocol::CloseCodePolicyViolated);
            socket.release()->deleteLater();
            continue;
        }
        m_events.Take(std::move(socket), owner->Target().device);
    }
}

bool TWebService::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    QByteArray verb;
    switch (request.method()) {
    case QHttpServerRequest::Method::Get:
        verb = "GET";
        break;
    case QHttpServerRequest::Method::Post:
        verb = "POST";
        break;
    default:
        verb = "OTHER";
        break;
    }
    const auto header = [&request](const QByteArray& name) { return request.value(name); };
    const WebAccess::TRequest view = AccessView(
        verb, request.url().toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority), header);
    const bool close = header("connection").toLower().contains("close");
    if (view.upgrade) {
        // The gate let it through only when it was admitted; one it did not take for an upgrade
        // is asked here, and the connection ends on a refusal, before the server upgrades it.
        if (CheckUpgrade([&] {
                HttpHead::THead head;
                head.method = verb;
                head.target = request.url().toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority);
                for (const auto& [name, value] : request.headers())
                    head.headers.append({name.toLower(), value});
                return head;
            }())) {
            socket->abort();
        }
        return true;
    }
    const int place = m_gate->Reserve(socket);
    const auto answer = [this, socket = QPointer<QTcpSocket>(socket), place,
                         close](const QByteArray& reply) {
        if (socket != nullptr)
            m_gate->Answer(socket, place, reply, close);
    };
    // The page's files before the admission: they are what a browser without the token loads.
    const std::optional<QByteArray> page =
        verb == "GET" ? WebPage::Answer(view.path, header("if-none-match"), close) : std::nullopt;
    if (page) {
        answer(*page);
        return true;
    }
    if (const std::optional<WebAccess::TRefusal> refusal = WebAccess::Refusal(view, m_token)) {
        answer(RefusalReply(*refusal, close));
        return true;
    }
    if (view.path == "/login") {
        if (verb != "POST")
            answer(MethodNotAllowed("POST", close));
        else
            Login(socket, place, request.body(), close);
        return true;
    }
    const std::optional<TRoute> route = Route(view.path);
    if (!route) {
        missingHandler(request, socket);
        return true;
    }
    const bool changes = !route->action.isEmpty() && route->action != QLatin1String("events");
    if (verb != (changes ? "POST" : "GET")) {
        answer(MethodNotAllowed(changes ? "POST" : "GET", close));
        return true;
    }
    if (route->port.isEmpty()) {
        QJsonArray ports;
        for (const TOwnerWatch* owner : m_owners->Served()) {
            const QJsonObject& state = owner->State();
            ports.append(
                QJsonObject{{QLatin1String("port"), state.value(QLatin1String("port"))},
                            {QLatin1String("device"), state.value(QLatin1String("device"))},
                            {QLatin1String("model"), state.value(QLatin1String("model"))},
                            {QLatin1String("pid"), state.value(QLatin1String("pid"))}});
        }
        answer(WebReply::Json(200, {{QLatin1String("ok"), true}, {QLatin1String("ports"), ports}},
                              close));
        return true;
    }
    QByteArray error;
    const TOwnerWatch* owner = OwnerOf(route->port, &error, close);
    if (owner == nullptr) {
        answer(error);
    } else if (route->action.isEmpty()) {
        answer(WebReply::Json(
            200, {{QLatin1String("ok"), true}, {QLatin1String("state"), owner->State()}}, close));
    } else if (!changes) {
        answer(WebReply::Error(400, QStringLiteral("request"),
                               QStringLiteral("the events URL is for WebSocket clients"), close));
    } else {
        Command(socket, place, owner, route->action, request.body(), close);
    }
    return true;
}

void TWebService::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    const bool close = request.value(QByteArrayLiteral("connection")).toLower().contains("close");
    const QByteArray reply = WebReply::Error(
        404, QStringLiteral("request"), QStringLiteral("no such URL; see GET /api/ports"), close);
    const int place = m_gate->Reserve(socket);
    m_gate->Answer(socket, place, reply, close);
}

void TWebService::Login(QTcpSocket* socket, int place, const QByteArray& body, bool close) {
    const QJsonObject object = QJsonDocument::fromJson(body).object();
    const QByteArray given = object.value(QLatin1String("token")).toString().toUtf8();
    if (!WebAccess::SameToken(given, m_token)) {
        m_gate->Answer(socket, place,
                       WebReply::Error(401, QStringLiteral("token"),
                                       QStringLiteral("POST /login takes {\"token\":\"TOKEN\"} "
                                                      "with the service's token"),
                                       close),
                       close);
        return;
    }
    m_gate->Answer(socket, place,
                   WebReply::Json(200, {{QLatin1String("ok"), true}}, close,
                                  {{"Set-Cookie", WebAccess::LoginCookie(m_token, m_gate->Tls())}}),
                   close);
}

void TWebService::Command(QTcpSocket* socket, int place, const TOwnerWatch* owner,
                          const QString& action, const QByteArray& body, bool close) {
    const auto answer = [this, socket = QPointer<QTcpSocket>(socket), place,
                         close](const QByteArray& reply) {
        if (socket != nullptr)
            m_gate->Answer(socket, place, reply, close);
    };
    const QJsonDocument document = QJsonDocument::fromJson(body);
    if (!document.isObject()) {
        answer(WebReply::Error(400, QStringLiteral("request"),
                               QStringLiteral("the body is one JSON object"), close));
        return;
    }
    QJsonObject request = document.object();
    request.insert(QLatin1String("command"),
                   action == QLatin1String("input") ? QStringLiteral("select") : action);
    const QByteArray line = QJsonDocument(request).toJson(QJsonDocument::Compact);
    // The service refuses what the owner would refuse, before any owner is asked.
    const ControlProtocol::TParsed parsed = ControlProtocol::ParseRequest(line);
    if (!parsed.ok) {
        answer(WebReply::Error(400, QStringLiteral("request"), parsed.error, close));
        return;
    }
    if (OwnerRequest::InFlight() >= kMaxInFlight) {
        answer(WebReply::Error(
            503, QStringLiteral("busy"),
            QStringLiteral("%1 commands are under way; try again").arg(kMaxInFlight), close));
        return;
    }
    OwnerRequest::Ask(this, owner->Target(), line + '\n',
                      [answer, close](const OwnerClient::TAnswer& owned) {
                          QJsonObject reply;
                          const int status = WebReply::StatusFor(owned, &reply);
                          answer(WebReply::Json(status, reply, close));
                      });
}
