// The pure rules of the one-shot command line.

#include "cmdline/CmdLineParse.h"

#include <QTest>

class TestCmdLineParse : public QObject {
    Q_OBJECT

private slots:
    void Parse_data();
    void Parse();
    void NormaliseTouchesOnlySlashesAndAsciiCapitals();
};

namespace {
const QString kNone;
} // namespace

void TestCmdLineParse::Parse_data() {
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("ok");
    QTest::addColumn<QString>("record");
    QTest::addColumn<int>("comPortNum");
    QTest::addColumn<QString>("modelStr");
    QTest::addColumn<QString>("cmdNameStr");
    QTest::addColumn<int>("inputSourceNum");
    QTest::addColumn<bool>("powerFlag");

    const QString port = CmdLineParse::BadPortText();
    const QString model = CmdLineParse::BadModelText();
    const QString command = CmdLineParse::BadCommandText();
    const QString p = QStringLiteral("rsx24p");
    const QString q = QStringLiteral("rsx24q");
    const QString in = QStringLiteral("in");
    const QString pwr = QStringLiteral("pwr");

    // Accepted command lines.
    QTest::newRow("input") << QStringList{"/com03", "/rsx24p", "/in2"} << true << kNone << 3 << p
                           << in << 2 << false;
    QTest::newRow("upper case") << QStringList{"/COM03", "/RSX24P", "/IN2"} << true << kNone << 3
                                << p << in << 2 << false;
    QTest::newRow("no slashes") << QStringList{"com03", "rsx24p", "in2"} << true << kNone << 3 << p
                                << in << 2 << false;
    QTest::newRow("slashes anywhere") << QStringList{"/co/m03", "rsx/24p/", "//i/n2//"} << true
                                      << kNone << 3 << p << in << 2 << false;
    QTest::newRow("two-digit port")
        << QStringList{"/com12", "/rsx24p", "/in1"} << true << kNone << 12 << p << in << 1 << false;
    QTest::newRow("port 0 goes on as 0")
        << QStringList{"/com00", "/rsx24p", "/in1"} << true << kNone << 0 << p << in << 1 << false;
    QTest::newRow("in0 unchanged")
        << QStringList{"/com03", "/rsx24p", "/in0"} << true << kNone << 3 << p << in << 0 << false;
    QTest::newRow("in9 unchanged")
        << QStringList{"/com03", "/rsx24p", "/in9"} << true << kNone << 3 << p << in << 9 << false;
    QTest::newRow("model B input")
        << QStringList{"/com03", "/rsx24q", "/in3"} << true << kNone << 3 << q << in << 3 << false;
    QTest::newRow("power on") << QStringList{"/com03", "/rsx24p", "/pwr1"} << true << kNone << 3
                              << p << pwr << 0 << true;
    QTest::newRow("power off") << QStringList{"/com03", "/rsx24p", "/PWR0"} << true << kNone << 3
                               << p << pwr << 0 << false;
    QTest::newRow("fourth argument ignored") << QStringList{"/com03", "/rsx24p", "/in2", "/extra"}
                                             << true << kNone << 3 << p << in << 2 << false;

    // The port argument. What was read before a refusal stays; nothing after it is read.
    QTest::newRow("port too short")
        << QStringList{"/com3", "/rsx24p", "/in2"} << false << port << 0 << ""
        << "" << 0 << false;
    QTest::newRow("port too long")
        << QStringList{"/com003", "/rsx24p", "/in2"} << false << port << 0 << ""
        << "" << 0 << false;
    QTest::newRow("port not com") << QStringList{"/cmo03", "/rsx24p", "/in2"} << false << port << 0
                                  << ""
                                  << "" << 0 << false;
    QTest::newRow("port letters") << QStringList{"/comAB", "/rsx24p", "/in2"} << false << kNone << 0
                                  << ""
                                  << "" << 0 << false;
    QTest::newRow("port -1") << QStringList{"com-1", "/rsx24p", "/in2"} << false << kNone << 0 << ""
                             << "" << 0 << false;
    QTest::newRow("port with a space")
        << QStringList{"com 1", "/rsx24p", "/in2"} << false << kNone << 0 << ""
        << "" << 0 << false;
    QTest::newRow("port fullwidth digits")
        << QStringList{QStringLiteral("com０３"), "/rsx24p", "/in2"} << false << kNone << 0 << ""
        << "" << 0 << false;

    // The model argument.
    QTest::newRow("unknown model")
        << QStringList{"/com03", "/rsx24x", "/in2"} << false << model << 3 << ""
        << "" << 0 << false;
    QTest::newRow("model with a dash")
        << QStringList{"/com03", "/rsx-24p", "/in2"} << false << model << 3 << ""
        << "" << 0 << false;

    // The command argument.
    QTest::newRow("input too long") << QStringList{"/com03", "/rsx24p", "/in12"} << false << command
                                    << 3 << p << "" << 0 << false;
    QTest::newRow("unknown command") << QStringList{"/com03", "/rsx24p", "/on"} << false << command
                                     << 3 << p << "" << 0 << false;
    QTest::newRow("input not a digit")
        << QStringList{"/com03", "/rsx24p", "/inX"} << false << kNone << 3 << p << "" << 0 << false;
    QTest::newRow("power not a digit") << QStringList{"/com03", "/rsx24p", "/pwrX"} << false
                                       << kNone << 3 << p << "" << 0 << false;
    QTest::newRow("power 2") << QStringList{"/com03", "/rsx24p", "/pwr2"} << false << command << 3
                             << p << "" << 0 << false;
    QTest::newRow("power on model B") << QStringList{"/com03", "/rsx24q", "/pwr1"} << false
                                      << command << 3 << q << "" << 0 << false;
    QTest::newRow("power off model B") << QStringList{"/com03", "/rsx24q", "/pwr0"} << false
                                       << command << 3 << q << "" << 0 << false;

    // Only the first refusal counts.
    QTest::newRow("all three bad")
        << QStringList{"/com3", "/rsx24x", "/on"} << false << port << 0 << ""
        << "" << 0 << false;
    QTest::newRow("two arguments") << QStringList{"/com03", "/rsx24p"} << false << kNone << 0 << ""
                                   << "" << 0 << false;
}

void TestCmdLineParse::Parse() {
    QFETCH(QStringList, arguments);
    QFETCH(bool, ok);
    QFETCH(QString, record);
    QFETCH(int, comPortNum);
    QFETCH(QString, modelStr);
    QFETCH(QString, cmdNameStr);
    QFETCH(int, inputSourceNum);
    QFETCH(bool, powerFlag);

    const CmdLineParse::TResult result = CmdLineParse::Parse(arguments);
    QCOMPARE(result.ok, ok);
    QCOMPARE(result.errorText, record);
    QCOMPARE(result.params.ComPortNum, comPortNum);
    QCOMPARE(result.params.ModelStr, modelStr);
    QCOMPARE(result.params.CmdNameStr, cmdNameStr);
    QCOMPARE(result.params.InputSourceNum, inputSourceNum);
    QCOMPARE(result.params.PowerFlag, powerFlag);
}

void TestCmdLineParse::NormaliseTouchesOnlySlashesAndAsciiCapitals() {
    QCOMPARE(CmdLineParse::Normalise(QStringLiteral("/C/oM0/3/")), QStringLiteral("com03"));
    // Letters outside A to Z keep their case, so fullwidth or accented lookalikes stay refused.
    QCOMPARE(CmdLineParse::Normalise(QStringLiteral("ＣÖM")), QStringLiteral("ＣÖm"));
}

QTEST_APPLESS_MAIN(TestCmdLineParse)
#include "tst_cmdlineparse.moc"
