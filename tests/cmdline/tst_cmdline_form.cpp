// The parse and the tick inside the program: what a refused or accepted command line leaves
// behind for start-up, in process with the rig (the run itself is tested end to end).

#include "AppRig.h"
#include "device/cls_Model.h"
#include "device/dm_IF_ComPort.h"
#include "ui/form_Main.h"

#include <QTest>

class TestCmdLineForm : public QObject {
    Q_OBJECT

private slots:
    void RefusedCommandLine_data();
    void RefusedCommandLine();
    void AcceptedCommandLineWaitsHiddenForTheTimer();
    void TickDoesNothingOnceShutdownHasBegun();
};

namespace {
AppRig::Options WithArguments(const QStringList& arguments) {
    AppRig::Options options;
    options.arguments = arguments;
    options.show = false;
    return options;
}
} // namespace

void TestCmdLineForm::RefusedCommandLine_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("record"); // the last field; empty: none
    QTest::addColumn<int>("comPortNum");
    QTest::addColumn<QString>("modelStr");
    QTest::addColumn<bool>("startsWindow"); // false: the process ends, with status 2

    QTest::newRow("bad port") << QStringList{"/com3", "/rsx24p", "/in2"}
                              << QStringLiteral("（引数）第一引数不正") << 0 << QString() << true;
    QTest::newRow("bad model") << QStringList{"/com05", "/rsx24x", "/in2"}
                               << QStringLiteral("（引数）第二引数不正") << 5 << QString() << true;
    QTest::newRow("bad command") << QStringList{"/com05", "/rsx24p", "/pwr2"}
                                 << QStringLiteral("（引数）第三引数不正") << 5
                                 << QStringLiteral("rsx24p") << true;
    // A run the program knows but cannot carry out ends like every other run.
    QTest::newRow("power on model B")
        << QStringList{"/com05", "/rsx24q", "/pwr1"} << QStringLiteral("（引数）第三引数不正") << 5
        << QStringLiteral("rsx24q") << false;
    QTest::newRow("not a digit") << QStringList{"/com05", "/rsx24p", "/inX"} << QString() << 5
                                 << QStringLiteral("rsx24p") << true;
    QTest::newRow("two arguments")
        << QStringList{"/com05", "/rsx24p"} << QString() << 0 << QString() << true;
}

void TestCmdLineForm::RefusedCommandLine() {
    QFETCH(QStringList, arguments);
    QFETCH(QString, record);
    QFETCH(int, comPortNum);
    QFETCH(QString, modelStr);
    QFETCH(bool, startsWindow);
    AppRig rig(WithArguments(arguments));

    QCOMPARE(rig.Form()->ShowAtStart(), startsWindow);
    QCOMPARE(rig.Form()->DoExit(), !startsWindow);
    if (!startsWindow)
        QCOMPARE(rig.Form()->ExitStatus(), 2);
    QVERIFY(!rig.Form()->tmr_StartupProcess_ForCmdLineParams->Enabled());
    // What was read before the refusal stays.
    QCOMPARE(rig.Form()->CmdLineParams().ComPortNum, comPortNum);
    QCOMPARE(rig.Form()->CmdLineParams().ModelStr, modelStr);

    const QStringList lines = rig.LogLines();
    if (record.isEmpty()) {
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join('\n')));
    } else {
        QCOMPARE(lines.size(), 1);
        const QStringList fields = lines.first().split(',');
        QCOMPARE(fields.size(), 6);
        QCOMPARE(fields[3], QStringLiteral("エラー"));
        QCOMPARE(fields[4], QStringLiteral("TFormMain_DoProcess_ByParamStr"));
        QCOMPARE(fields[5], record);
    }
}

void TestCmdLineForm::AcceptedCommandLineWaitsHiddenForTheTimer() {
    AppRig rig(WithArguments({"/COM05", "/rsx24p", "/pwr1"}));

    QVERIFY(!rig.Form()->ShowAtStart());
    QVERIFY(rig.Form()->tmr_StartupProcess_ForCmdLineParams->Enabled());
    QCOMPARE(rig.Form()->CmdLineParams().ComPortNum, 5);
    QCOMPARE(rig.Form()->CmdLineParams().CmdNameStr, QStringLiteral("pwr"));
    QVERIFY(rig.Form()->CmdLineParams().PowerFlag);
    // The parse itself writes nothing.
    QVERIFY(rig.LogLines().isEmpty());
}

void TestCmdLineForm::TickDoesNothingOnceShutdownHasBegun() {
    AppRig rig(WithArguments({"/com03", "/rsx24p", "/in2"}));
    TModel* const model = rig.Form()->Model();

    rig.Form()->MarkDestroying();
    rig.Form()->tmr_StartupProcess_ForCmdLineParamsTimer();

    QVERIFY(!rig.Form()->DoExit());
    QCOMPARE(rig.Form()->Model(), model);
    QVERIFY(!rig.Module()->Connected());
    QVERIFY(rig.LogLines().isEmpty());
}

INCYCLER_APP_TEST_MAIN(TestCmdLineForm)
#include "tst_cmdline_form.moc"
