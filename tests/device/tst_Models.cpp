#include "AppRig.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"

#include <QTest>

class TestModels : public QObject {
    Q_OBJECT
private slots:
    void freshModelsKnowNothing() {
        TRsx24p a;
        TRsx24q b;
        for (TModel* m : {static_cast<TModel*>(&a), static_cast<TModel*>(&b)}) {
            QCOMPARE(m->PowerState(), psNone);
            QCOMPARE(m->SelectedSourceNum(), 0);
            QCOMPARE(m->GetMaxSourceCount(), 3);
        }
    }

    void commandTexts() {
        AppRig rig;
        QVERIFY(rig.Module()->OpenComPort(3));
        TRsx24p a;
        TRsx24q b;
        QVERIFY(a.SetInputSourceNum(2));
        QVERIFY(b.SetInputSourceNum(2));
        QVERIFY(a.SetInputSourceNum(0));
        QVERIFY(b.SetInputSourceNum(0));
        QVERIFY(a.SetInputSourceNum(10));
        QVERIFY(a.SetInputSourceNum(-1));
        QVERIFY(a.PowerOn());
        QVERIFY(a.PowerOff());
        QVERIFY(a.RequestPowerState());
        QVERIFY(a.RequestInputSourceNum());
        QVERIFY(b.RequestInputSourceNum());
        const QList<QByteArray> expected{"SRC2", "X24Q2", "SRC0", "X24Q0", "SRC10", "SRC-1",
                                         "PWR1", "PWR0",  "PWR?", "GET",   "X24QG"};
        QTRY_COMPARE(rig.Switcher().Frames(), expected);
    }
};

INCYCLER_APP_TEST_MAIN(TestModels)
#include "tst_Models.moc"
