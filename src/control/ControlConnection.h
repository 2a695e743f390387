#pragma once

#include <QByteArray>
#include <QObject>

#include <optional>

class QSocketNotifier;
class TWindowTimer;

// One client's connection to the owner: an accepted local socket, read line by line and
// written as it takes the bytes, on the GUI thread. A client that has closed its sending side
// (socat at the end of its input) still gets the answers to the requests it sent; a client
// that goes on sending is held to one request's length, and one that never reads, to a few
// replies. The connection ends at the latest when its lifetime is over.
class TControlConnection : public QObject {
    Q_OBJECT
public:
    TControlConnection(int fd, int maxLineBytes, int maxUnsentBytes, int lifetimeMs,
                       QObject* parent);
    ~TControlConnection() override;

    int Fd() const { return m_fd; }

    // The next whole line, without its line end (LF, or CR LF). *tooLong is set when the
    // bytes held are longer than a line may be and hold no line end.
    std::optional<QByteArray> TakeLine(bool* tooLong);
    // The client has closed its sending side and every line it sent has been taken.
    bool InputDone() const;

    // Writes what the socket takes now, the rest when it takes more. A client that lets more
    // than maxUnsentBytes pile up is dropped.
    void Write(const QByteArray& bytes);
    // Reads nothing more; ends once everything written has gone out.
    void CloseAfterWriting();
    // Ends now.
    void Drop();
    // A watch: no end of its lifetime while it reads what it is sent; what more it sends is
    // thrown away, and it ends when the client has gone.
    void Watch();
    bool Watching() const { return m_watching; }

    // What the server keeps of this connection.
    struct TServing {
        int requests = 0;      // taken so far
        bool busy = false;     // a command of it is on its way out: nothing more is taken
        QByteArray turnedAway; // refused or busy: the answer it gets, and nothing else
    };
    TServing& Serving() { return m_serving; }

signals:
    // Bytes arrived, or the client closed its side: lines may be waiting.
    void Readable();
    // The connection is over; nothing more comes from it.
    void Ended();

private:
    void OnReadable();
    void OnWritable();
    void Flush();

    int m_fd;
    int m_maxLineBytes;
    int m_maxUnsentBytes;
    QSocketNotifier* m_read;
    QSocketNotifier* m_write;
    QByteArray m_in;
    QByteArray m_out;
    bool m_eof = false;
    bool m_closing = false;
    bool m_watching = false;
    TWindowTimer* m_lifetime;
    TServing m_serving;
};
