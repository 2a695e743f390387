#include "dm_IF_ComPort.h"

#include "ReplyFraming.h"
#include "app/ErrorReport.h"
#include "cls_ApdComPort.h"
#include "cls_Model.h"
#include "common/Errors.h"
#include "ui/form_Main.h"

#include <QCoreApplication>

#include <exception>

Tmod_IF_ComPort* mod_IF_ComPort = nullptr;

namespace {
constexpr int kBlockSize = 512;

// Replies are written into the main window's current model.
TModel* ReplyTarget() {
    return FormMain != nullptr ? FormMain->Model() : nullptr;
}
} // namespace

Tmod_IF_ComPort::Tmod_IF_ComPort(QObject* parent)
    : QObject(parent), ApdComPort1(new TApdComPort(this)),
      tmr_RxBuffCheck(new TWindowTimer(this, 1, true)) {
    if (mod_IF_ComPort == nullptr)
        mod_IF_ComPort = this;
    connect(ApdComPort1, &TApdComPort::TriggerAvail, this,
            [this](TApdComPort* port, quint16 count) {
                ErrorReport::Run([this, port, count] { ApdComPort1TriggerAvail(port, count); });
            });
    connect(tmr_RxBuffCheck, &TWindowTimer::Timer, this,
            [this] { ErrorReport::Run([this] { tmr_RxBuffCheckTimer(tmr_RxBuffCheck); }); });
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
        f_LastOpenFailure = ErrorMessage(error);
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
    // Take every announced byte, in blocks of at most 512. A NUL byte ends what is kept:
    // it and the rest of this announcement are consumed and lost.
    bool cut = false;
    char block[kBlockSize];
    for (int taken = 0; taken < Count;) {
        const quint16 len = static_cast<quint16>(qMin(kBlockSize, Count - taken));
        CP->GetBlock(block, len);
        taken += len;
        if (cut)
            continue;
        const QByteArray kept = ReplyFraming::KeptBytes(QByteArray(block, len));
        f_RcvBuff.append(kept);
        cut = kept.size() < len;
    }
    ReplyFraming::BoundBuffer(f_RcvBuff);
    UpdatePollSleep();
}

void Tmod_IF_ComPort::tmr_RxBuffCheckTimer(TWindowTimer* Sender) {
    if (f_Destroying)
        return;
    Sender->SetEnabled(false);
    struct Reenable {
        Tmod_IF_ComPort* module;
        TWindowTimer* timer;
        ~Reenable() {
            timer->SetEnabled(true);
            module->UpdatePollSleep();
        }
    } reenable{this, Sender};

    const ReplyFraming::Tick tick = ReplyFraming::CutOneReply(f_RcvBuff);
    if (tick.result == ReplyFraming::TickResult::Reply)
        AnalyzeRcvData(QString::fromLatin1(tick.reply));
}

void Tmod_IF_ComPort::UpdatePollSleep() {
    // A tick that can change nothing need not wake the process a thousand times a second.
    tmr_RxBuffCheck->SetDormant(ReplyFraming::TickChangesNothing(f_RcvBuff));
}

void Tmod_IF_ComPort::AnalyzeRcvData(const QString& reply) {
    TModel* model = ReplyTarget();
    if (dynamic_cast<TRsx24p*>(model) != nullptr)
        AnalyzeRcvData_Rsx24p(reply);
    else if (dynamic_cast<TRsx24q*>(model) != nullptr)
        AnalyzeRcvData_Rsx24q(reply);
}

namespace {
void Apply(const ReplyFraming::ReplyEffect& effect, TModel* model) {
    if (effect.power)
        model->SetPowerState(*effect.power);
    if (effect.selectedSource)
        model->SetSelectedSourceNum(*effect.selectedSource);
}
} // namespace

void Tmod_IF_ComPort::AnalyzeRcvData_Rsx24p(const QString& reply) {
    Apply(ReplyFraming::ParseRsx24p(reply), ReplyTarget());
}

void Tmod_IF_ComPort::AnalyzeRcvData_Rsx24q(const QString& reply) {
    Apply(ReplyFraming::ParseRsx24q(reply), ReplyTarget());
}
