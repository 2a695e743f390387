// incycler-web against a real owner on the virtual switcher: the time from POST .../input to
// the frame on the line and from the device's reply to the WebSocket push (200 tries each),
// then 300 hostile connections (slow, garbage, oversized, never reading) against the service
// while the owner rotates every 5 s: the rotation's period, the service's RSS and the time of
// an authorised request. Run from bench/run; the figures are printed one per line.
//
//   web_bench                 the measurement
//   web_bench --flood PORT S  the hostile clients for S seconds (the measurement runs this)

#include "sim/VirtualSwitcher.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QWebSocket>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>

namespace {

const QByteArray kToken = "bench-token-0123456789abcdef";

double Ms(qint64 ns) {
    return double(ns) / 1e6;
}

void Summary(const char* what, QList<double> values) {
    std::sort(values.begin(), values.end());
    if (values.isEmpty()) {
        std::printf("%s: no figure\n", what);
        return;
    }
    std::printf("%s: median %.2f ms max %.2f ms min %.2f ms n %lld\n", what,
                values[values.size() / 2], values.last(), values.first(), qlonglong(values.size()));
}

qint64 RssKiB(qint64 pid) {
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    return -1;
}

// One request on a fresh connection; the status, or -1 when no answer came within 5 s.
int Request(quint16 port, const QByteArray& method, const QByteArray& path,
            const QByteArray& body = {}) {
    QTcpSocket socket;
    socket.connectToHost(QHostAddress::LocalHost, port);
    if (!socket.waitForConnected(5000))
        return -1;
    socket.write(method + ' ' + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                 kToken + "\r\nConnection: close\r\nContent-Length: " +
                 QByteArray::number(body.size()) + "\r\n\r\n" + body);
    QByteArray reply;
    QElapsedTimer clock;
    clock.start();
    while (!reply.contains("\r\n\r\n") && clock.elapsed() < 5000)
        if (socket.waitForReadyRead(int(5000 - clock.elapsed())))
            reply += socket.readAll();
    return reply.startsWith("HTTP/1.1 ") ? reply.mid(9, 3).toInt() : -1;
}

// Waits for cond while this process's loop serves the switcher and the WebSocket, never pausing:
// QTest::qWaitFor sleeps 10 ms between looks, which would date what arrives meanwhile late.
bool WaitLive(const std::function<bool()>& cond, int ms) {
    QElapsedTimer clock;
    clock.start();
    QTimer wake; // so that the deadline is seen even when nothing arrives
    wake.start(20);
    while (!cond()) {
        if (clock.elapsed() > ms)
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

// A request sent without waiting for its answer; status is set once the answer's head is in.
QTcpSocket* Post(quint16 port, const QByteArray& path, const QByteArray& body, int* status) {
    auto* socket = new QTcpSocket;
    *status = 0;
    QObject::connect(socket, &QTcpSocket::connected, socket, [socket, path, body] {
        socket->write("POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer " +
                      kToken + "\r\nConnection: close\r\nContent-Length: " +
                      QByteArray::number(body.size()) + "\r\n\r\n" + body);
    });
    QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket, status] {
        const QByteArray head = socket->peek(12);
        if (head.startsWith("HTTP/1.1 ") && head.size() >= 12)
            *status = head.mid(9, 3).toInt();
    });
    socket->connectToHost(QHostAddress::LocalHost, port);
    return socket;
}

// The hostile clients: each kind keeps its share of the connections open and busy.
int Flood(quint16 port, int seconds) {
    QList<QTcpSocket*> sockets;
    QRandomGenerator random(4711);
    const auto open = [&](int kind) {
        auto* socket = new QTcpSocket;
        socket->setProperty("kind", kind);
        socket->connectToHost(QHostAddress::LocalHost, port);
        sockets.append(socket);
        QObject::connect(socket, &QTcpSocket::connected, socket, [socket, kind, &random] {
            if (kind == 1) { // garbage
                QByteArray bytes(512, '\0');
                for (char& c : bytes)
                    c = char(random.bounded(256));
                socket->write(bytes + "\r\n\r\n");
            } else if (kind == 2) { // oversized
                socket->write("POST /api/ports/COM3/input HTTP/1.1\r\nHost: x\r\nContent-Length: "
                              "1000000\r\n\r\n" +
                              QByteArray(8192, 'x'));
            } else if (kind == 3) { // never reading: requests piled up unanswered-for
                socket->setReadBufferSize(1);
                for (int i = 0; i < 64; ++i)
                    socket->write("GET /api/ports HTTP/1.1\r\nHost: x\r\n\r\n");
            }
        });
    };
    for (int i = 0; i < 300; ++i)
        open(i % 4);
    QTimer tick;
    QObject::connect(&tick, &QTimer::timeout, [&] {
        for (qsizetype i = 0; i < sockets.size(); ++i) {
            QTcpSocket* socket = sockets[i];
            if (socket->state() == QAbstractSocket::UnconnectedState) {
                const int kind = socket->property("kind").toInt();
                socket->deleteLater();
                sockets.removeAt(i--);
                open(kind); // whoever was let go comes back at once
            } else if (socket->property("kind").toInt() == 0) {
                socket->write("G"); // slow: a byte now and then, never a whole request
            }
        }
    });
    tick.start(200);
    QTimer::singleShot(seconds * 1000, qApp, &QCoreApplication::quit);
    return qApp->exec();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && QByteArray(argv[1]) == "--flood")
        return Flood(quint16(QByteArray(argv[2]).toInt()), QByteArray(argv[3]).toInt());

    QTemporaryDir dir;
    VirtualSwitcher::Options options;
    options.comNumber = 3;
    options.portDir = dir.path();
    VirtualSwitcher sw(options);
    if (!sw.Start())
        return 1;
    QFile token(dir.filePath("token"));
    token.open(QIODevice::WriteOnly);
    token.write(kToken + '\n');
    token.close();
    token.setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("INCYCLER_PORT_DIR", dir.path());
    env.insert("QT_QPA_PLATFORM", "offscreen");
    if (!env.contains("INCYCLER_RUN_DIR")) {
        QDir().mkpath(dir.filePath("run"));
        QFile::setPermissions(dir.filePath("run"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        env.insert("INCYCLER_RUN_DIR", dir.filePath("run"));
    }
    const QString bin = QCoreApplication::applicationDirPath() + "/..";
    QProcess owner;
    owner.setProcessEnvironment(env);
    const auto startOwner = [&](const QStringList& arguments) {
        owner.start(bin + "/InCycler", arguments);
        return owner.waitForStarted();
    };
    QProcess web;
    web.setProcessEnvironment(env);
    web.start(bin + "/incycler-web", {"--token-file", token.fileName(), "--listen", "127.0.0.1:0"});
    QByteArray said;
    static const QRegularExpression listening("listening on http://127.0.0.1:(\\d+)");
    if (!QTest::qWaitFor(
            [&] { return listening.match(said += web.readAllStandardError()).hasMatch(); }, 10000))
        return 1;
    const quint16 port = quint16(listening.match(said).captured(1).toInt());
    const auto served = [&] {
        return QTest::qWaitFor([&] { return Request(port, "GET", "/api/ports/COM3") == 200; },
                               30000);
    };

    // --- latencies against a --serve owner ---
    if (!startOwner({"--serve", "--port", "com03", "--model", "rsx24p"}) || !served())
        return 1;
    QWebSocket client;
    QList<std::pair<qint64, int>> pushes; // monotonic ns, input
    QObject::connect(&client, &QWebSocket::textMessageReceived, [&](const QString& text) {
        const QJsonObject event = QJsonDocument::fromJson(text.toUtf8()).object();
        pushes.append({VirtualSwitcher::MonotonicNs(), event["state"].toObject()["input"].toInt()});
    });
    client.open(QUrl(QStringLiteral("ws://127.0.0.1:%1/api/ports/COM3/events?token=%2")
                         .arg(port)
                         .arg(QString::fromLatin1(kToken))));
    if (!QTest::qWaitFor([&] { return !pushes.isEmpty(); }, 10000))
        return 1;
    QList<double> toFrame, toPush;
    for (int i = 0; i < 200; ++i) {
        const int input = i % 2 == 0 ? 2 : 3;
        sw.ClearFrames();
        pushes.clear();
        const qint64 sent = VirtualSwitcher::MonotonicNs();
        int status = 0;
        const std::unique_ptr<QTcpSocket> post(Post(port, "/api/ports/COM3/input",
                                                    "{\"input\":" + QByteArray::number(input) + '}',
                                                    &status));
        // The owner polls 100 ms after the select; the switcher answers the poll as it reads it.
        const bool seen = WaitLive(
            [&] {
                return status != 0 && std::any_of(pushes.begin(), pushes.end(),
                                                  [&](const auto& p) { return p.second == input; });
            },
            5000);
        const QList<VirtualSwitcher::TimedFrame> frames = sw.TimedFrames();
        if (status != 200 || !seen || frames.size() < 2)
            continue;
        toFrame.append(Ms(frames[0].monotonicNs - sent));
        for (const auto& [at, pushed] : pushes)
            if (pushed == input) {
                toPush.append(Ms(at - frames[1].monotonicNs));
                break;
            }
    }
    Summary("POST input -> SRC frame on the line", toFrame);
    Summary("device's reply to the poll -> WebSocket push", toPush);
    client.close();
    owner.terminate();
    owner.waitForFinished();

    // --- 300 hostile connections against the service, the owner rotating every 5 s ---
    if (!startOwner({"--rotate", "--port", "com03", "--model", "rsx24p", "--inputs", "1,3",
                     "--every", "5s"}) ||
        !served())
        return 1;
    const auto measure = [&](const char* phase, int seconds, QProcess* flood) {
        sw.ClearFrames();
        QList<double> answers;
        qint64 rssMax = 0;
        QElapsedTimer clock;
        clock.start();
        int failed = 0;
        while (clock.elapsed() < seconds * 1000) {
            QElapsedTimer one;
            one.start();
            if (Request(port, "GET", "/api/ports/COM3") == 200)
                answers.append(double(one.nsecsElapsed()) / 1e6);
            else
                ++failed;
            rssMax = std::max(rssMax, RssKiB(web.processId()));
            QTest::qWait(200);
        }
        QList<double> periods;
        qint64 last = 0;
        for (const VirtualSwitcher::TimedFrame& frame : sw.TimedFrames())
            if (frame.text.startsWith("SRC")) {
                if (last != 0)
                    periods.append(Ms(frame.monotonicNs - last) - 5000);
                last = frame.monotonicNs;
            }
        std::sort(periods.begin(), periods.end());
        std::printf("%s: rotation period - interval min %.2f ms max %.2f ms (n %lld); service "
                    "VmRSS max %lld KiB; failed %d; ",
                    phase, periods.value(0), periods.isEmpty() ? 0.0 : periods.last(),
                    qlonglong(periods.size()), qlonglong(rssMax), failed);
        Summary("authorised GET", answers);
        Q_UNUSED(flood);
    };
    std::printf("service VmRSS idle %lld KiB\n", qlonglong(RssKiB(web.processId())));
    measure("without clients", 20, nullptr);
    QProcess flood;
    flood.start(QCoreApplication::applicationFilePath(), {"--flood", QString::number(port), "25"});
    flood.waitForStarted();
    QTest::qWait(2000); // all 300 in
    measure("under 300 hostile", 20, &flood);
    flood.waitForFinished(30000);
    std::printf("service VmRSS after %lld KiB\n", qlonglong(RssKiB(web.processId())));
    owner.terminate();
    owner.waitForFinished();
    web.terminate();
    web.waitForFinished();
    return 0;
}
