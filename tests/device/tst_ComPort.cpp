#include "AppRig.h"
#include "common/Errors.h"
#include "device/cls_ApdComPort.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "device/form_ComSelect.h"
#include "ui/form_Main.h"

#include <QApplication>
#include <QComboBox>
#include <QPushButton>
#include <QSerialPort>
#include <QTest>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

namespace {

// Answers the next port-choice dialog by pressing the named button.
void AnswerPortDialog(const char* buttonName, const QString& port = QString()) {
    auto* poll = new QTimer;
    poll->setInterval(10);
    QObject::connect(poll, &QTimer::timeout, poll, [poll, buttonName, port] {
        auto* form = qobject_cast<TComSelectForm*>(QApplication::activeModalWidget());
        if (form == nullptr)
            return;
        if (!port.isEmpty())
            form->PortList()->setCurrentIndex(form->PortList()->findText(port));
        form->findChild<QPushButton*>(QLatin1String(buttonName))->click();
        poll->deleteLater();
    });
    poll->start();
}

} // namespace

class TestComPort : public QObject {
    Q_OBJECT
private slots:
    void frameIsEscTextCrInOrder() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));
        QVERIFY(module->SendCmd("GET"));
        QVERIFY(module->SendCmd(""));
        QTRY_COMPARE(rig.Switcher().RawReceived(), QByteArray("\x1bGET\r\x1b\r"));
    }

    void sendOnClosedPortReopensWithSameSettings() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));
        QVERIFY(module->CloseComPort());
        QVERIFY(!module->Connected());
        QVERIFY(module->SendCmd("PWR?"));
        QVERIFY(module->Connected());
        QCOMPARE(module->ApdComPort1->Baud(), 9600);
        QCOMPARE(module->ApdComPort1->HWFlowOptions(), THWFlowOptions(hwfUseRTS | hwfRequireCTS));
        QTRY_COMPARE(rig.Switcher().Frames(), QList<QByteArray>{"PWR?"});
    }

    void sendOnUnopenablePortFailsAndWritesNothing() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(!module->OpenComPort(9));
        QVERIFY(!module->SendCmd("GET"));
        QVERIFY(!module->Connected());
        // Every model command reports the failure.
        TModel* model = rig.Form()->Model();
        QVERIFY(!model->PowerOn());
        QVERIFY(!model->SetInputSourceNum(1));
        QVERIFY(!model->RequestInputSourceNum());
        QVERIFY(rig.Switcher().RawReceived().isEmpty());
    }

    void openingTwiceKeepsThePortAndAnotherNumberMovesIt() {
        AppRig rig;
        VirtualSwitcher::Options options;
        options.portDir = rig.PortDir();
        options.comNumber = 4;
        VirtualSwitcher com4(options);
        QVERIFY(com4.Start());
        Tmod_IF_ComPort* module = rig.Module();

        QVERIFY(module->OpenComPort(3));
        const QString device = module->ApdComPort1->DevicePath();
        QVERIFY(module->OpenComPort(3));
        QCOMPARE(module->ApdComPort1->DevicePath(), device);

        QVERIFY(module->OpenComPort(4));
        QCOMPARE(module->ApdComPort1->DevicePath(), com4.SlavePath());
        QVERIFY(module->SendCmd("GET"));
        QTRY_COMPARE(com4.Frames(), QList<QByteArray>{"GET"});

        // A number with no port: false, and the port is left closed.
        QVERIFY(!module->OpenComPort(8));
        QVERIFY(!module->Connected());
    }

    void busyPortIsRefusedAlsoThroughAnotherName() {
        AppRig rig;
        QVERIFY(QFile::link(rig.Switcher().SlavePath(), rig.PortDir() + QStringLiteral("/COM4")));
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));

        Tmod_IF_ComPort second;
        QVERIFY(!second.OpenComPort(3));
        QVERIFY(!second.OpenComPort(4));
        QVERIFY(!second.Connected());
    }

    void portChoiceDialogForNumberZero() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        AnswerPortDialog("btn_Cancel");
        QVERIFY(!module->OpenComPort(0));
        QVERIFY(!module->Connected());

        AnswerPortDialog("btn_OK", QStringLiteral("COM3"));
        QVERIFY(module->OpenComPort(0));
        QVERIFY(module->Connected());
        QCOMPARE(module->ApdComPort1->ComNumber(), quint16(3));
    }

    void repliesReachTheModelOnePerTick() {
        AppRig rig;
        QVERIFY(rig.Module()->OpenComPort(3));
        TModel* model = rig.Form()->Model();
        rig.Switcher().InjectRaw("\x1bpwr1\r\x1bget2\r");
        QTRY_COMPARE(model->SelectedSourceNum(), 2);
        QCOMPARE(model->PowerState(), psPowerOn);
        QVERIFY(rig.Module()->RcvBuff().isEmpty());
    }

    void nulCutsTheRestOfTheAnnouncement() {
        AppRig rig;
        QVERIFY(rig.Module()->OpenComPort(3));
        rig.Form()->tmr_CheckSource->SetEnabled(false);
        // Keep the reply timer off so the buffer can be looked at as received.
        rig.Module()->tmr_RxBuffCheck->SetEnabled(false);
        rig.Switcher().InjectRaw(QByteArray("\x1bp\0wr1\r", 7));
        QTRY_COMPARE(rig.Module()->RcvBuff(), QByteArray("\x1bp"));
        rig.Switcher().InjectRaw("wr1\r");
        QTRY_COMPARE(rig.Module()->RcvBuff(), QByteArray("\x1bpwr1\r"));
        rig.Module()->tmr_RxBuffCheck->SetEnabled(true);
        QTRY_COMPARE(rig.Form()->Model()->PowerState(), psPowerOn);
    }

    void receiveBufferSurvivesCloseAndOpen() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));
        module->tmr_RxBuffCheck->SetEnabled(false);
        rig.Switcher().InjectRaw("\x1bget");
        QTRY_COMPARE(module->RcvBuff(), QByteArray("\x1bget"));
        QVERIFY(module->CloseComPort());
        QVERIFY(module->OpenComPort(3));
        QCOMPARE(module->RcvBuff(), QByteArray("\x1bget"));
        rig.Switcher().InjectRaw("3\r");
        module->tmr_RxBuffCheck->SetEnabled(true);
        QTRY_COMPARE(rig.Form()->Model()->SelectedSourceNum(), 3);
    }

    void conversionErrorIsReportedAndTheNextReplyHandled() {
        AppRig rig;
        QVERIFY(rig.Module()->OpenComPort(3));
        TModel* model = rig.Form()->Model();
        rig.Switcher().InjectRaw("\x1bpwrX\r\x1bget3\r");
        QTRY_COMPARE(model->SelectedSourceNum(), 3);
        QCOMPARE(model->PowerState(), psNone);
        QCOMPARE(BoxLines(),
                 QStringList{QStringLiteral(
                     "tst_comport|'X' は Integer 型の値として有効な整数値ではありません.")});
        // The reply timer goes on after the error.
        rig.Switcher().InjectRaw("\x1bget1\r");
        QTRY_COMPARE(model->SelectedSourceNum(), 1);
    }

    void idleReplyTimerDoesNotWakeTheProcess() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));
        QVERIFY(module->tmr_RxBuffCheck->Enabled());
        QVERIFY(!module->tmr_RxBuffCheck->Armed());
        module->tmr_RxBuffCheck->SetEnabled(false);
        rig.Switcher().InjectRaw("\x1bge");
        QTRY_COMPARE(module->RcvBuff(), QByteArray("\x1bge"));
        module->tmr_RxBuffCheck->SetEnabled(true);
        // An incomplete reply cannot change on a tick either.
        QVERIFY(!module->tmr_RxBuffCheck->Armed());
        rig.Switcher().InjectRaw("t2\r");
        QTRY_COMPARE(rig.Form()->Model()->SelectedSourceNum(), 2);
        QTRY_VERIFY(!module->tmr_RxBuffCheck->Armed());
    }

    void lineIsSetWhileOpenAndRestoredAfter() {
        AppRig rig;
        const int peer = ::open(QFile::encodeName(rig.Switcher().SlavePath()).constData(),
                                O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(peer >= 0);
        termios before{};
        QCOMPARE(::tcgetattr(peer, &before), 0);
        QVERIFY(rig.Module()->OpenComPort(3));
        termios open{};
        QCOMPARE(::tcgetattr(peer, &open), 0);
        QCOMPARE(::cfgetospeed(&open), speed_t(B9600));
        QCOMPARE(open.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t(CS8 | CRTSCTS));
        QCOMPARE(open.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0));
        QCOMPARE(open.c_iflag & (IXON | IXOFF | ICRNL), tcflag_t(0));
        QVERIFY(rig.Module()->CloseComPort());
        termios after{};
        QCOMPARE(::tcgetattr(peer, &after), 0);
        QCOMPARE(after.c_cflag, before.c_cflag);
        QCOMPARE(after.c_lflag, before.c_lflag);
        QCOMPARE(after.c_iflag, before.c_iflag);
        ::close(peer);
    }

    void drainGivesUpOnAHeldLineAndDeliversOnceReleased() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));
        // The pty's output held back as CTS low would hold a real line.
        const int peer = ::open(QFile::encodeName(rig.Switcher().SlavePath()).constData(),
                                O_RDWR | O_NOCTTY | O_NONBLOCK);
        QVERIFY(peer >= 0);
        QCOMPARE(::tcflow(peer, TCOOFF), 0);
        QVERIFY(module->SendCmd("GET"));
        QVERIFY(!module->ApdComPort1->DrainOutput(200));
        QVERIFY(module->Connected());
        QVERIFY(rig.Switcher().RawReceived().isEmpty());

        QCOMPARE(::tcflow(peer, TCOON), 0);
        ::close(peer);
        QVERIFY(module->ApdComPort1->DrainOutput(10000));
        QTRY_COMPARE(rig.Switcher().Frames(), QList<QByteArray>{"GET"});
    }

    void hangUpClosesThePortWithoutSpinning() {
        AppRig rig;
        Tmod_IF_ComPort* module = rig.Module();
        QVERIFY(module->OpenComPort(3));
        rig.Switcher().Stop();
        QTRY_VERIFY(!module->Connected());

        const double before = ProcessCpuMs();
        QTest::qWait(300); // a window in which a spinning port would burn the CPU
        QVERIFY2(ProcessCpuMs() - before < 150, "the process spins after a hang-up");

        QVERIFY(rig.Switcher().Start());
        QVERIFY(module->SendCmd("GET"));
        QVERIFY(module->Connected());
        QTRY_VERIFY(rig.Switcher().Frames().contains("GET"));
    }

    void modelBLacksPowerCommands() {
        AppRig::Options options;
        options.model = VirtualSwitcher::Model::B;
        AppRig rig(options);
        rig.Form()->cmb_Model->setCurrentIndex(1);
        rig.Form()->cmb_ModelChange();
        QVERIFY(rig.Module()->OpenComPort(3));
        TModel* model = rig.Form()->Model();
        try {
            model->PowerOn();
            QFAIL("model B has no power-on");
        } catch (const EAbstractError& e) {
            QCOMPARE(e.Message(), QStringLiteral("抽象エラー"));
        }
        QVERIFY_THROWS_EXCEPTION(EAbstractError, model->RequestPowerState());
        QVERIFY(model->RequestInputSourceNum());
        QTRY_COMPARE(model->SelectedSourceNum(), 1);
        QCOMPARE(rig.Switcher().Frames(), QList<QByteArray>{"X24QG"});
    }
};

INCYCLER_APP_TEST_MAIN(TestComPort)
#include "tst_ComPort.moc"
