#include "OwnerRequest.h"

#include "OwnerLink.h"
#include "common/WindowTimer.h"

#include <cerrno>

namespace OwnerRequest {

namespace {

int g_inFlight = 0;

class TAsk : public QObject {
public:
    TAsk(QObject* context, const OwnerClient::TTarget& target, const QByteArray& line, TDone done)
        : QObject(context), m_target(target), m_line(line), m_done(std::move(done)), m_link(this),
          m_deadline(this, OwnerClient::AnswerTimeoutMs, false) {
        ++g_inFlight;
        connect(&m_link, &TOwnerLink::Connected, this, &TAsk::Connected);
        connect(&m_link, &TOwnerLink::Line, this, &TAsk::Answered);
        connect(&m_link, &TOwnerLink::Ended, this, &TAsk::Ended);
        connect(&m_deadline, &TWindowTimer::Timer, this, [this] {
            Finish(Failure(QStringLiteral("%1 did not answer within %2 s; the command may "
                                          "still be sent")
                               .arg(OwnerClient::OwnerName(m_target, m_pid))
                               .arg(OwnerClient::AnswerTimeoutMs / 1000)));
        });
        m_link.Open(target.path);
    }
    ~TAsk() override { --g_inFlight; }

private:
    static OwnerClient::TAnswer Failure(const QString& message) {
        OwnerClient::TAnswer answer;
        answer.kind = OwnerClient::TKind::Failed;
        answer.message = message;
        return answer;
    }

    void Connected() {
        const ControlSocket::TPeer peer = m_link.Peer();
        if (!OwnerClient::HeldBy(peer, m_target.device)) {
            OwnerClient::TAnswer answer;
            answer.message = QStringLiteral("%1: %2 is not served by the process that holds the "
                                            "port; it was not used")
                                 .arg(m_target.where, m_target.path);
            Finish(answer);
            return;
        }
        m_pid = peer.pid;
        m_deadline.SetEnabled(true);
        m_link.Send(m_line);
    }

    void Answered(const QByteArray& line) {
        Finish(OwnerClient::Interpret(line, m_pid, OwnerClient::OwnerName(m_target, m_pid)));
    }

    void Ended(int error) {
        if (m_pid == 0)
            Finish(OwnerClient::ConnectFailure(m_target, error));
        else
            Finish(Failure(QStringLiteral("%1 closed the connection without an answer")
                               .arg(OwnerClient::OwnerName(m_target, m_pid))));
    }

    void Finish(const OwnerClient::TAnswer& answer) {
        if (!m_done)
            return;
        const TDone done = std::exchange(m_done, nullptr);
        m_deadline.SetEnabled(false);
        deleteLater();
        done(answer);
    }

    OwnerClient::TTarget m_target;
    QByteArray m_line;
    TDone m_done;
    TOwnerLink m_link;
    TWindowTimer m_deadline;
    qint64 m_pid = 0;
};

} // namespace

void Ask(QObject* context, const OwnerClient::TTarget& target, const QByteArray& requestLine,
         TDone done) {
    new TAsk(context, target, requestLine, std::move(done));
}

int InFlight() {
    return g_inFlight;
}

} // namespace OwnerRequest
