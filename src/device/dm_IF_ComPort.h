#pragma once

#include "ReceiveBuffer.h"
#include "common/WindowTimer.h"

#include <QByteArray>
#include <QObject>
#include <QString>

class TApdComPort;

// The data module: owns the serial port object, the receive buffer and the reply timer.
// One instance, mod_IF_ComPort, created after the main window and destroyed before it.
class Tmod_IF_ComPort : public QObject {
    Q_OBJECT
public:
    explicit Tmod_IF_ComPort(QObject* parent = nullptr);
    ~Tmod_IF_ComPort() override;

    TApdComPort* const ApdComPort1;
    TWindowTimer* const tmr_RxBuffCheck;

    bool OpenComPort(int a_ComPortNum);
    // Why the last OpenComPort that failed did so, for the operator: "COM5 (/dev/ttyUSB0):
    // Permission denied; is the user in the group dialout?". Empty after a success.
    QString LastOpenFailure() const { return f_LastOpenFailure; }
    bool CloseComPort();
    bool Connected() const;
    bool SendCmd(const QByteArray& a_Cmd);

    // Marks the module as being destroyed; timer handlers then do nothing.
    void MarkDestroying() { f_Destroying = true; }
    // The process is ending: from now on SendCmd sends nothing and answers false.
    void MarkEnding() { f_Ending = true; }

    // The bytes received and not yet cut out as a reply.
    const QByteArray& RcvBuff() const { return f_RcvBuff.Bytes(); }

    void ApdComPort1TriggerAvail(TApdComPort* CP, quint16 Count);
    void tmr_RxBuffCheckTimer(TWindowTimer* Sender);

private:
    void AnalyzeRcvData(const QString& reply);
    void AnalyzeRcvData_Rsx24p(const QString& reply);
    void AnalyzeRcvData_Rsx24q(const QString& reply);
    void UpdatePollSleep();

    TReceiveBuffer f_RcvBuff;
    QString f_LastOpenFailure;
    bool f_Destroying = false;
    bool f_Ending = false;
};

extern Tmod_IF_ComPort* mod_IF_ComPort;
