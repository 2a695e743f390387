#include "dm_IF_ComPort.h"

#include "ReplyFraming.h"
#include "app/ConnectReported.h"
#include "cls_ApdComPort.h"
#include "cls_Model.h"
#include "common/Errors.h"
#include "ui/form_Main.h"

#include <QCoreApplication>
#include <QScopeGuard>

#include <exception>

Tmod_IF_ComPort* mod_IF_ComPort = nullptr;

namespace {
// The reply timer's interval; each tick cuts out at most one reply.
constexpr int kReplyPollMs = 1;

// Replies are written into the main window's current model.
TModel* ReplyTarget() {
    return FormMain != nullptr ? FormMain->Model() : nullptr;
}
} // namespace

Tmod_IF_ComPort::Tmod_IF_ComPort(QObject* parent)
    : QObject(parent), ApdComPort1(new TApdComPort(this)),
      tmr_RxBuffCheck(new TWindowTimer(this, kReplyPollMs, true)) {
    if (mod_IF_ComPort == nullptr)
        mod_IF_ComPort = this;
    ConnectReported(ApdComPort1, &TApdComPort::TriggerAvail, this,
                    &Tmod_IF_ComPort::ApdComPort1TriggerAvail);
    ConnectReported(tmr_RxBuffCheck, &TWindowTimer::Timer, this,
                    [this] { tmr_RxBuffCheckTimer(tmr_RxBuffCheck); });
    UpdatePollSleep();
}

Tmod_IF_ComPort::~Tmod_IF_ComPort() {
    f_Destroying = true;
    tmr_RxBuffCheck->SetEnabled(false);
    delete ApdComPort1; // closes an open port
    if (mod_IF_ComPort == this)
        mod_IF_ComPort = nullptr;
}

bool Tmod_IF_ComPort::OpenComPort(int a_ComPortNum) {
    try {
        ApdComPort1->SetComNumber(static_cast<quint16>(a_ComPortNum));
        ApdComPort1->SetBaud(9600);
        ApdComPort1->SetHWFlowOptions(hwfUseRTS | hwfRequireCTS);
        ApdComPort1->SetRTS(true);
        ApdComPort1->SetOpen(true);
        f_LastOpenFailure.clear();
        return true;
    } catch (const std::exception& error) {
        f_LastOpenFailure = QString::fromUtf8(error.what());
        return false;
    }
}

bool Tmod_IF_ComPort::CloseComPort() {
    ApdComPort1->SetOpen(false);
    return true;
}

bool Tmod_IF_ComPort::Connected() const {
    return ApdComPort1->Open();
}

bool Tmod_IF_ComPort::SendCmd(const QByteArray& a_Cmd) {
    if (f_Ending)
        return false;
    try {
        // Byte by byte, the whole frame queued before any event is dispatched: frames of
        // nested sends never interleave on the line.
        ApdComPort1->PutString(QByteArray(1, ReplyFraming::ESC));
        for (char byte : a_Cmd)
            ApdComPort1->PutString(QByteArray(1, byte));
        ApdComPort1->PutString(QByteArray(1, ReplyFraming::CR));
        ApdComPort1->ProcessCommunications();
        QCoreApplication::processEvents();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

void Tmod_IF_ComPort::ApdComPort1TriggerAvail(TApdComPort* CP, quint16 Count) {
    f_RcvBuff.Announce(Count, [CP](char* block, quint16 len) { CP->GetBlock(block, len); });
    UpdatePollSleep();
}

void Tmod_IF_ComPort::tmr_RxBuffCheckTimer(TWindowTimer* Sender) {
    if (f_Destroying)
        return;
    Sender->SetEnabled(false);
    const auto reenable = qScopeGuard([this, Sender] {
        Sender->SetEnabled(true);
        UpdatePollSleep();
    });

    const ReplyFraming::Tick tick = f_RcvBuff.Tick();
    if (tick.result == ReplyFraming::TickResult::Reply)
        AnalyzeRcvData(QString::fromLatin1(tick.reply));
}

void Tmod_IF_ComPort::UpdatePollSleep() {
    // A tick that can change nothing need not wake the process a thousand times a second.
    tmr_RxBuffCheck->SetDormant(f_RcvBuff.TickChangesNothing());
}

void Tmod_IF_ComPort::AnalyzeRcvData(const QString& reply) {
    TModel* model = ReplyTarget();
    if (dynamic_cast<TRsx24p*>(model) != nullptr)
        AnalyzeRcvData_Rsx24p(reply);
    else if (dynamic_cast<TRsx24q*>(model) != nullptr)
        AnalyzeRcvData_Rsx24q(reply);
}

void Tmod_IF_ComPort::AnalyzeRcvData_Rsx24p(const QString& reply) {
    const ReplyFraming::ReplyEffect effect = ReplyFraming::ParseRsx24p(reply);
    ReplyTarget()->Apply(effect);
    // The rotation switches on a switcher that came back off after its line was lost.
    if (effect.power && FormMain != nullptr)
        FormMain->PowerReported();
}

void Tmod_IF_ComPort::AnalyzeRcvData_Rsx24q(const QString& reply) {
    ReplyTarget()->Apply(ReplyFraming::ParseRsx24q(reply));
}
